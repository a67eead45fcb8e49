# Writes the kavra(1) manual page from the tool's own help, so the page
# cannot say anything about commands and options that --help does not.
# Script mode, run by the build after the tool is linked:
#
#   cmake -DKAVRA_TOOL=path/to/kavra -DTEMPLATE=tools/kavra.1.in
#         -DOUTPUT=kavra.1 [-DGZIP=/bin/gzip] -P cmake/KavraManPage.cmake
#
# The template carries what help does not (exit status, examples); the
# synopsis, the command list and every command's usage, description and
# options come from `kavra --help` and `kavra COMMAND --help`. With GZIP the
# page is also written compressed (OUTPUT.gz), as Debian installs it.
#
# The help texts contain ';' and '[...]', which CMake lists would split or
# glue together, so lines are handled with those replaced by placeholders.
cmake_minimum_required(VERSION 3.25)

foreach(required KAVRA_TOOL TEMPLATE OUTPUT)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "KavraManPage.cmake needs -D${required}=...")
    endif()
endforeach()

function(kavra_help out)
    execute_process(COMMAND ${KAVRA_TOOL} ${ARGN}
        OUTPUT_VARIABLE text
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "'${KAVRA_TOOL} ${ARGN}' failed (${status})")
    endif()
    string(REPLACE ";" "@SEMI@" text "${text}")
    string(REPLACE "[" "@LB@" text "${text}")
    string(REPLACE "]" "@RB@" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# Roff text: backslashes and minus signs escaped, and a line that would start
# with a control character made plain text.
function(kavra_roff out text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Splits help lines into usage (joined into one line), the paragraph after
# it, the header of the table after that ("options:", "commands:") and the
# table's rows, and whatever follows the table.
function(kavra_help_parts lines)
    set(part usage)
    set(usage "")
    set(summary "")
    set(rows "")
    set(trailer "")
    foreach(line IN LISTS lines)
        if(line STREQUAL "")
            if(part STREQUAL "usage")
                set(part summary)
            elseif(part STREQUAL "rows")
                set(part trailer)
            endif()
        elseif(part STREQUAL "usage")
            string(REGEX REPLACE "^usage: " "" line "${line}")
            string(STRIP "${line}" line)
            string(APPEND usage " ${line}")
        elseif(part STREQUAL "summary" AND line MATCHES "^[a-z]+:$")
            set(part rows)
        elseif(part STREQUAL "summary")
            string(APPEND summary "${line}\n")
        elseif(part STREQUAL "rows")
            list(APPEND rows "${line}")
        else()
            string(APPEND trailer "${line}\n")
        endif()
    endforeach()
    string(STRIP "${usage}" usage)
    set(help_usage "${usage}" PARENT_SCOPE)
    set(help_summary "${summary}" PARENT_SCOPE)
    set(help_rows "${rows}" PARENT_SCOPE)
    set(help_trailer "${trailer}" PARENT_SCOPE)
endfunction()

# A table row "  NAME [ARG]   description" as a tagged paragraph, the name
# in bold and the argument in italics.
function(kavra_row out row)
    if(NOT row MATCHES "^  ([^ ]+)( [^ ]+)?  +(.+)$")
        message(FATAL_ERROR "unexpected help line '${row}'")
    endif()
    set(argument "${CMAKE_MATCH_2}")
    kavra_roff(name "${CMAKE_MATCH_1}")
    kavra_roff(text "${CMAKE_MATCH_3}")
    set(tag "\\fB${name}\\fR")
    if(argument)
        string(STRIP "${argument}" argument)
        kavra_roff(argument "${argument}")
        string(APPEND tag " \\fI${argument}\\fR")
    endif()
    set(${out} ".TP\n${tag}\n${text}\n" PARENT_SCOPE)
endfunction()

# A usage line with the program and command in bold.
function(kavra_usage out usage)
    kavra_roff(usage "${usage}")
    string(REGEX REPLACE "^(kavra( [a-z]+)?) " "\\\\fB\\1\\\\fR " usage "${usage}")
    set(${out} "${usage}\n" PARENT_SCOPE)
endfunction()

function(kavra_paragraph out text)
    string(REGEX REPLACE "\n$" "" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(roff "")
    foreach(line IN LISTS lines)
        kavra_roff(line "${line}")
        string(APPEND roff "${line}\n")
    endforeach()
    set(${out} "${roff}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${KAVRA_TOOL} --version
    OUTPUT_VARIABLE KAVRA_MAN_VERSION
    OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)

kavra_help(top --help)
kavra_help_parts("${top}")
kavra_usage(KAVRA_MAN_SYNOPSIS "${help_usage}")
set(KAVRA_MAN_COMMANDS "")
set(commands "")
foreach(row IN LISTS help_rows)
    kavra_row(entry "${row}")
    string(APPEND KAVRA_MAN_COMMANDS "${entry}")
    string(REGEX MATCH "^  [a-z]+" command "${row}")
    string(STRIP "${command}" command)
    list(APPEND commands "${command}")
endforeach()
kavra_paragraph(trailer "${help_trailer}")
string(APPEND KAVRA_MAN_COMMANDS ".PP\n${trailer}")

set(KAVRA_MAN_COMMAND_SECTIONS "")
foreach(command IN LISTS commands)
    kavra_help(lines ${command} --help)
    kavra_help_parts("${lines}")
    string(TOUPPER "${command}" upper)
    kavra_usage(usage "${help_usage}")
    string(APPEND KAVRA_MAN_SYNOPSIS ".br\n${usage}")
    kavra_paragraph(summary "${help_summary}")
    string(APPEND KAVRA_MAN_COMMAND_SECTIONS
        ".SH \"KAVRA ${upper}\"\n${usage}.PP\n${summary}")
    foreach(row IN LISTS help_rows)
        kavra_row(entry "${row}")
        string(APPEND KAVRA_MAN_COMMAND_SECTIONS "${entry}")
    endforeach()
endforeach()

foreach(part KAVRA_MAN_SYNOPSIS KAVRA_MAN_COMMANDS KAVRA_MAN_COMMAND_SECTIONS)
    string(REPLACE "@SEMI@" ";" ${part} "${${part}}")
    string(REPLACE "@LB@" "[" ${part} "${${part}}")
    string(REPLACE "@RB@" "]" ${part} "${${part}}")
endforeach()
file(READ ${TEMPLATE} page)
string(CONFIGURE "${page}" page @ONLY)
file(WRITE ${OUTPUT} "${page}")

if(GZIP)
    # -n leaves the name and time out, so the file is the same on every build.
    execute_process(COMMAND ${GZIP} -9n -c ${OUTPUT}
        OUTPUT_FILE ${OUTPUT}.gz
        COMMAND_ERROR_IS_FATAL ANY)
endif()
