# The reader of the end-to-end table. read_cases(TABLE VAR) sets VAR to the names of TABLE's rows,
# each row checked as it is read, so that a mistyped one stops and names its line. Run on its own,
# it reads the table -D table=FILE names and prints the names:
#   cmake -D table=FILE -P cases.cmake
# Line by line, not as a list from file(STRINGS): a list runs together rows holding brackets.
# file(READ) drops the CR of a CR LF line, so the byte after each line is read again to find it.
# CMake's regular expressions end a string at a NUL byte, so a row holding one is refused before
# any of them reads it short.
cmake_minimum_required(VERSION 3.25)

function(read_cases path var)
    get_filename_component(file ${path} NAME)
    file(READ ${path} text)
    set(table "${text}\n")
    set(line 0)
    set(offset 0)
    set(names)
    while(NOT table STREQUAL "")
        math(EXPR line "${line} + 1")
        string(FIND "${table}" "\n" end)
        string(SUBSTRING "${table}" 0 ${end} row)
        math(EXPR end "${end} + 1")
        string(SUBSTRING "${table}" ${end} -1 table)
        math(EXPR offset "${offset} + ${end}")
        math(EXPR cr "${offset} - 1")
        file(READ ${path} eol OFFSET ${cr} LIMIT 1 HEX)
        if(eol STREQUAL "0d")
            message(FATAL_ERROR "${file}:${line}: the line ends in CR LF; save the table with LF")
        endif()
        string(HEX "${row}" bytes)
        if(bytes MATCHES "^(..)*00")
            message(FATAL_ERROR "${file}:${line}: a NUL byte, which would cut the row short")
        elseif(row MATCHES "^(#.*)?$")
            continue()
        elseif(NOT row MATCHES "^[^\t]+\t[^\t]+\t[^\t]+\t[^\t]+\t[^\t]+$")
            message(FATAL_ERROR "${file}:${line}: not five fields separated by tabs: '${row}'")
        elseif(NOT row MATCHES "^([A-Za-z0-9-]+)\t")
            message(FATAL_ERROR "${file}:${line}: the name is not a plain word of letters, "
                "digits and -: '${row}'")
        elseif(DEFINED line_of_${CMAKE_MATCH_1})
            message(FATAL_ERROR "${file}:${line}: the name '${CMAKE_MATCH_1}' is taken, by line "
                "${line_of_${CMAKE_MATCH_1}}")
        endif()
        set(line_of_${CMAKE_MATCH_1} ${line})
        list(APPEND names ${CMAKE_MATCH_1})
    endwhile()
    set(${var} ${names} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    read_cases(${table} names)
    message("${names}")
endif()
