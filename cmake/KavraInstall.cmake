# Installation: headers, library, CMake package (kavra::kavra) and pkg-config.
include(CMakePackageConfigHelpers)

install(TARGETS kavra
    EXPORT kavraTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(DIRECTORY include/kavra DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(KAVRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kavra)

install(EXPORT kavraTargets
    FILE kavraTargets.cmake
    NAMESPACE kavra::
    DESTINATION ${KAVRA_CMAKE_DIR})

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/kavraConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/kavraConfig.cmake
    INSTALL_DESTINATION ${KAVRA_CMAKE_DIR})
write_basic_package_version_file(
    ${CMAKE_CURRENT_BINARY_DIR}/kavraConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/kavraConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/kavraConfigVersion.cmake
    DESTINATION ${KAVRA_CMAKE_DIR})

if(BUILD_SHARED_LIBS)
    set(KAVRA_PC_CFLAGS "")
else()
    set(KAVRA_PC_CFLAGS "-DKAVRA_STATIC")
endif()
# The .pc file finds its prefix relative to itself, so an installed tree can
# be moved (or installed with --prefix) and still work.
file(RELATIVE_PATH KAVRA_PC_TO_PREFIX
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kavra.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kavra.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kavra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
