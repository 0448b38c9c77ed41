# Writes what a Windows build says of itself, each file only when its content changes: version.rc
# (the version resource and the manifest), crlf/VERSION.txt and commit.txt ("COMMIT DATE", or
# "none: WHY", for the packing). With name_commit, it names the commit as builds ordinarily do.
#   cmake -D source_dir=SRC -D binary_dir=BUILD -D version=X.Y.Z -D manifest=FILE \
#         [-D name_commit=ON] -P commit.cmake
cmake_minimum_required(VERSION 3.25)

file(READ ${source_dir}/cmake/export-commit.txt exported)
find_program(git git)
set(why "FACTORIAL_DOWNLOAD is off")
if(name_commit)
    if(exported MATCHES "^([0-9a-f]+ [0-9]+)\n$")
        set(named ${CMAKE_MATCH_1})
    elseif(NOT git)
        set(why "git is not installed")
    else()
        execute_process(COMMAND ${git} rev-parse --show-toplevel WORKING_DIRECTORY ${source_dir}
            RESULT_VARIABLE status OUTPUT_VARIABLE top ERROR_VARIABLE why
            OUTPUT_STRIP_TRAILING_WHITESPACE)
        file(REAL_PATH ${source_dir} source)
        if(status EQUAL 0 AND NOT top STREQUAL source)
            set(why "this folder is inside the checkout ${top}, not at its top")
        elseif(status EQUAL 0)
            execute_process(COMMAND ${git} log -1 --no-show-signature "--format=%H %ct"
                WORKING_DIRECTORY ${source_dir} OUTPUT_VARIABLE named ERROR_VARIABLE why
                OUTPUT_STRIP_TRAILING_WHITESPACE)
            # No optional locks: a build must not hold .git/index while the developer's git runs.
            execute_process(COMMAND ${git} --no-optional-locks status --porcelain
                --untracked-files=no WORKING_DIRECTORY ${source_dir} OUTPUT_VARIABLE changes)
        endif()
        string(REGEX REPLACE "\n.*" "" why "${why}") # git's own words, their first line
    endif()
endif()

string(REPLACE "." "," numeric_version ${version})
set(product_version ${version})
set(lines "")
if(named MATCHES "^([0-9a-f]+) [0-9]+$")
    string(APPEND product_version "+${CMAKE_MATCH_1}")
    set(lines "commit ${CMAKE_MATCH_1}\n")
    if(changes)
        string(APPEND product_version ".modified")
        string(APPEND lines "modified: built from files that differ from this commit\n")
        message(WARNING "Files differ from commit ${CMAKE_MATCH_1} (git status): this build is "
            "marked as modified.")
    endif()
else()
    set(named "none: ${why}")
endif()
file(CONFIGURE OUTPUT ${binary_dir}/commit.txt CONTENT "${named}\n" @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${binary_dir}/version.rc @ONLY)
file(CONFIGURE OUTPUT ${binary_dir}/crlf/VERSION.txt NEWLINE_STYLE CRLF @ONLY
    CONTENT "factorial ${version}\n${lines}")
