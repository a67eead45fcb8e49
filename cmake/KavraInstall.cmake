# Installation: headers, library, CMake package (kavra::kavra) and pkg-config.
# Components split it the way the Debian packages do (KavraPackage.cmake):
# runtime (the shared library), tool (the kavra program) and development.
include(CMakePackageConfigHelpers)

install(TARGETS kavra
    EXPORT kavraTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT runtime
        NAMELINK_COMPONENT development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(DIRECTORY include/kavra DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# Debian packages carry the license as each package's copyright file instead.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)

# An installed program finds the library through a run path relative to
# itself, so a prefix works wherever it is installed or moved to.
function(kavra_install_rpath target)
    if(NOT KAVRA_INSTALL_RPATH OR NOT KAVRA_SHARED OR WIN32)
        return()
    endif()
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    if(APPLE)
        set(origin @loader_path)
    else()
        set(origin $ORIGIN)
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${origin}/${bin_to_lib}")
endfunction()

set(KAVRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kavra)

install(EXPORT kavraTargets
    FILE kavraTargets.cmake
    NAMESPACE kavra::
    DESTINATION ${KAVRA_CMAKE_DIR}
    COMPONENT development)

if(NOT KAVRA_SHARED AND KAVRA_TLS_ENGINE STREQUAL "OpenSsl")
    set(KAVRA_CONFIG_NEEDS_OPENSSL TRUE)
    set(KAVRA_PC_REQUIRES_PRIVATE "Requires.private: libssl")
else()
    set(KAVRA_CONFIG_NEEDS_OPENSSL FALSE)
    set(KAVRA_PC_REQUIRES_PRIVATE "")
endif()
configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/kavraConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/kavraConfig.cmake
    INSTALL_DESTINATION ${KAVRA_CMAKE_DIR})
write_basic_package_version_file(
    ${CMAKE_CURRENT_BINARY_DIR}/kavraConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY ${KAVRA_VERSION_COMPATIBILITY})
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/kavraConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/kavraConfigVersion.cmake
    DESTINATION ${KAVRA_CMAKE_DIR}
    COMPONENT development)

if(KAVRA_SHARED)
    set(KAVRA_PC_CFLAGS "")
else()
    set(KAVRA_PC_CFLAGS "-DKAVRA_STATIC")
endif()
# The .pc file finds its prefix relative to itself, so an installed tree can
# be moved (or installed with --prefix) and still work.
file(RELATIVE_PATH KAVRA_PC_TO_PREFIX
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kavra.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kavra.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kavra.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
