# The commit the source comes from: source_commit (its full hash) and source_date (its date, in
# seconds since 1970), which a download names and is dated by. A git checkout asks git, but only
# where the source folder is the top of the checkout, never a repository around it; an export made
# by git archive has them in export-commit.txt, which git filled in. Anything else stops configure,
# with git's own message: a download must name the commit it is built from.
execute_process(COMMAND git rev-parse --path-format=absolute --show-toplevel --git-path logs/HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    RESULT_VARIABLE status OUTPUT_VARIABLE git_paths ERROR_VARIABLE error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
set(top "")
if(git_paths MATCHES "^([^\n]+)\n(.+)$")
    set(top "${CMAKE_MATCH_1}")
    set(head_log "${CMAKE_MATCH_2}")
endif()
file(REAL_PATH ${PROJECT_SOURCE_DIR} source)
file(READ ${CMAKE_CURRENT_LIST_DIR}/export-commit.txt exported)
set(cannot "Cannot name the commit this source comes from: it is not an export made by git archive")

if(status EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND git log -1 --format=%H%n%ct
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        RESULT_VARIABLE status OUTPUT_VARIABLE commit ERROR_VARIABLE error
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0 OR NOT commit MATCHES "^([0-9a-f]+)\n([0-9]+)$")
        message(FATAL_ERROR "Cannot name the commit of this checkout; git says (${status}):\n"
            "${error}")
    endif()
    set(source_commit ${CMAKE_MATCH_1})
    set(source_date ${CMAKE_MATCH_2})
    # A new commit configures again, so that the build names it.
    if(EXISTS "${head_log}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${head_log})
    endif()
    execute_process(COMMAND git status --porcelain --untracked-files=no
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE changes)
    if(changes)
        message(WARNING "This checkout has changes that are not committed; the build names "
            "commit ${source_commit} all the same.")
    endif()
elseif(exported MATCHES "^([0-9a-f]+) ([0-9]+)\n$")
    set(source_commit ${CMAKE_MATCH_1})
    set(source_date ${CMAKE_MATCH_2})
elseif(NOT status EQUAL 0)
    message(FATAL_ERROR "${cannot}, and git says (${status}):\n${error}")
else()
    message(FATAL_ERROR "${cannot}, nor the top of a git checkout, but a folder inside the "
        "checkout ${top}")
endif()
