# The C interface's version macros (include/kavra/kavra.h) are written by
# hand, so that the header needs no generated companion; they must follow
# project(VERSION), and a configure that finds them apart stops here.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/include/kavra/kavra.h KAVRA_C_VERSION_LINES
    REGEX "^#define KAVRA_VERSION_(MAJOR|MINOR|PATCH) ")
foreach(part MAJOR MINOR PATCH)
    set(header_value "")
    foreach(line IN LISTS KAVRA_C_VERSION_LINES)
        if(line MATCHES "^#define KAVRA_VERSION_${part} ([0-9]+)$")
            set(header_value ${CMAKE_MATCH_1})
        endif()
    endforeach()
    if(NOT header_value STREQUAL "${PROJECT_VERSION_${part}}")
        message(FATAL_ERROR "include/kavra/kavra.h: KAVRA_VERSION_${part} is '${header_value}', "
            "project(VERSION) says ${PROJECT_VERSION_${part}}")
    endif()
endforeach()
