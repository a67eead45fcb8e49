# Windows specifics, kept out of the rest of the build.
#
# Winsock 2 is the socket layer. Every program and kavra.dll land in one bin/
# folder together with the compiler's runtime DLLs, so that they share one C++
# runtime (exceptions and std::string cross the DLL boundary) and start from
# there without a PATH: under Wine as on Windows.
set(KAVRA_SOCKET_LIBS ws2_32)
set(KAVRA_OS_EXTRA_SOURCES client/DllConstantsWin32.cpp)

if(NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endif()

if(MINGW)
    # libgcc's DLL is named after the exception model: table-based SEH on
    # x86_64, DWARF-2 unwinding on i686.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(KAVRA_LIBGCC_DLL libgcc_s_dw2-1.dll)
    else()
        set(KAVRA_LIBGCC_DLL libgcc_s_seh-1.dll)
    endif()
    foreach(runtime libstdc++-6.dll ${KAVRA_LIBGCC_DLL} libwinpthread-1.dll)
        execute_process(
            COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
            OUTPUT_VARIABLE runtime_path
            OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${runtime_path}" OR NOT EXISTS "${runtime_path}")
            message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${runtime} is")
        endif()
        file(COPY ${runtime_path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
        list(APPEND KAVRA_RUNTIME_DLLS ${runtime_path})
    endforeach()
    install(FILES ${KAVRA_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
