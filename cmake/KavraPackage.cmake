# Packages built with CPack from the install components (KavraInstall.cmake).
# On Linux, `cpack -G DEB` (or the deb workflow preset) makes three Debian
# packages, split the way Debian splits a library so that the next
# release's runtime package can be installed beside this one's:
#   libkavra0.6   the shared library libkavra.so.0.6 (runtime)
#   kavra         the kavra tool (tool)
#   libkavra-dev  headers, libkavra.so, CMake and pkg-config files (development)
set(CPACK_PACKAGE_NAME kavra)
set(CPACK_PACKAGE_VENDOR "the kavra authors")
set(CPACK_PACKAGE_CONTACT "the kavra authors <maintainers@kavra.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CPACK_GENERATOR DEB)
    set(KAVRA_DEB_RELEASE 1)
    set(KAVRA_DEB_VERSION ${PROJECT_VERSION}-${KAVRA_DEB_RELEASE})
    # Debian names a runtime package after its soname: libkavra.so.0.6 is in
    # libkavra0.6, which can be installed beside the next release's.
    set(KAVRA_DEB_LIBRARY libkavra${KAVRA_SOVERSION})

    # Debian wants a copyright file and a gzipped changelog in each package's
    # own doc folder. They go into components that a plain install leaves out.
    set(changelog ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
    file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
    if(NOT changelog_top MATCHES "^kavra \\(${KAVRA_DEB_VERSION}\\) ")
        message(FATAL_ERROR "cmake/debian/changelog needs an entry for ${KAVRA_DEB_VERSION} on top")
    endif()
    find_program(KAVRA_GZIP gzip REQUIRED)
    # -n leaves the name and time out, so the package is the same on every build.
    execute_process(
        COMMAND ${KAVRA_GZIP} -9n -c ${changelog}
        OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.Debian.gz
        COMMAND_ERROR_IS_FATAL ANY)

    # Each package is a CPack group: one install component with its Debian
    # documents.
    set(KAVRA_DEB_GROUPS lib tool dev)
    set(KAVRA_DEB_lib_COMPONENT runtime)
    set(KAVRA_DEB_lib_PACKAGE ${KAVRA_DEB_LIBRARY})
    set(KAVRA_DEB_tool_COMPONENT tool)
    set(KAVRA_DEB_tool_PACKAGE kavra)
    set(KAVRA_DEB_dev_COMPONENT development)
    set(KAVRA_DEB_dev_PACKAGE libkavra-dev)
    set(CPACK_COMPONENTS_ALL)
    foreach(group IN LISTS KAVRA_DEB_GROUPS)
        set(component ${KAVRA_DEB_${group}_COMPONENT})
        set(package ${KAVRA_DEB_${group}_PACKAGE})
        install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
            RENAME copyright
            COMPONENT ${component}_debian
            EXCLUDE_FROM_ALL)
        install(FILES ${PROJECT_BINARY_DIR}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
            COMPONENT ${component}_debian
            EXCLUDE_FROM_ALL)
        string(TOUPPER ${component} upper)
        set(CPACK_COMPONENT_${upper}_GROUP ${group})
        set(CPACK_COMPONENT_${upper}_DEBIAN_GROUP ${group})
        string(TOUPPER ${group} upper)
        set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
        list(APPEND CPACK_COMPONENTS_ALL ${component} ${component}_debian)
    endforeach()

    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_RELEASE ${KAVRA_DEB_RELEASE})
    # Dependencies on libc and libstdc++ come from dpkg-shlibdeps, which finds
    # the shared library for the tool in the build tree; the dependency on the
    # package that holds it is named here.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
    set(library_depends "${KAVRA_DEB_LIBRARY} (= ${KAVRA_DEB_VERSION})")

    set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    # CPack puts the summary line above each of these.
    set(CPACK_DEBIAN_LIB_DESCRIPTION "The shared library.")

    set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${library_depends}")
    set(CPACK_DEBIAN_TOOL_DESCRIPTION "The kavra tool: a test peer, a shell client and a demo.")

    set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
    set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${library_depends}")
    set(CPACK_DEBIAN_DEV_DESCRIPTION "Headers, libkavra.so, CMake package and pkg-config file.")
endif()

include(CPack)
