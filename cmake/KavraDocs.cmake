# The API reference: `cmake --build <build> --target docs` writes HTML to
# <build>/docs/html. Not part of the default build, and absent when Doxygen is
# not installed, so a plain build never needs it.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
    return()
endif()

option(KAVRA_DOCS_WERROR "Fail the docs target on any Doxygen warning" ON)

set(KAVRA_DOCS_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/docs)
if(KAVRA_DOCS_WERROR)
    set(KAVRA_DOCS_WARN_AS_ERROR FAIL_ON_WARNINGS)
else()
    set(KAVRA_DOCS_WARN_AS_ERROR NO)
endif()

file(GLOB KAVRA_DOCS_HEADERS CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/include/kavra/*.h
    ${CMAKE_CURRENT_SOURCE_DIR}/include/kavra/base/*.h)
file(GLOB KAVRA_DOCS_PAGES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/*.md)
list(SORT KAVRA_DOCS_HEADERS)
list(SORT KAVRA_DOCS_PAGES)
# The main page first, then the others in name order.
list(REMOVE_ITEM KAVRA_DOCS_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/docs/mainpage.md)
set(KAVRA_DOCS_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/docs/mainpage.md ${KAVRA_DOCS_PAGES}
    ${KAVRA_DOCS_HEADERS})
list(JOIN KAVRA_DOCS_SOURCES " \\\n    " KAVRA_DOCS_INPUT)

configure_file(${CMAKE_CURRENT_SOURCE_DIR}/docs/Doxyfile.in ${KAVRA_DOCS_OUTPUT}/Doxyfile @ONLY)

add_custom_command(
    OUTPUT ${KAVRA_DOCS_OUTPUT}/html/index.html
    COMMAND ${CMAKE_COMMAND} -E remove_directory ${KAVRA_DOCS_OUTPUT}/html
    COMMAND Doxygen::doxygen ${KAVRA_DOCS_OUTPUT}/Doxyfile
    DEPENDS ${KAVRA_DOCS_SOURCES} ${KAVRA_DOCS_OUTPUT}/Doxyfile
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    COMMENT "Building the API reference in ${KAVRA_DOCS_OUTPUT}/html"
    VERBATIM)
add_custom_target(docs DEPENDS ${KAVRA_DOCS_OUTPUT}/html/index.html)
