# Names the commit the source comes from, and says whether the files the build reads are that
# commit's. A Windows build runs it at configure and again at every build (cmake -P), so that the
# download always names what it is built from:
#   cmake -D source_dir=SRC -D binary_dir=BUILD -D version=X.Y.Z -D manifest=FILE \
#         -P source-commit.cmake
# It writes, each only when its content changes, so that the exe relinks only then:
#   source-commit.txt   "COMMIT DATE", and " modified" when the files are not that commit's
#   version.rc          the exe's version resource and manifest (version.rc.in)
#   crlf/VERSION.txt    the version and the commit, for the zip
# A filled-in export-commit.txt (an export made by git archive of a commit) names the commit, and
# wins over any repository the folder sits in or has been made into; otherwise the folder must be
# the top of a git checkout, and git names HEAD. The files are that commit's when git, hashing
# them as they are on disk, gives the commit's tree. Anything else stops, saying what to do.
cmake_minimum_required(VERSION 3.25)

# git's environment must not point the lookup at another repository or index.
execute_process(COMMAND git rev-parse --local-env-vars OUTPUT_VARIABLE git_env)
string(REGEX MATCHALL "[A-Z_]+" git_env "${git_env}")
foreach(var IN LISTS git_env)
    unset(ENV{${var}})
endforeach()

# git(VAR ARGS...): VAR is what git printed; a failure stops, with git's words.
function(git var)
    execute_process(COMMAND git ${ARGN} WORKING_DIRECTORY ${source_dir}
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE error
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
        string(JOIN " " command ${ARGN})
        message(FATAL_ERROR "git ${command} failed (${status}):\n${error}")
    endif()
    set(${var} "${out}" PARENT_SCOPE)
endfunction()

set(unfilled "$Format:%H %T %ct$\n")
file(READ ${source_dir}/cmake/export-commit.txt exported)
execute_process(COMMAND git rev-parse --show-toplevel WORKING_DIRECTORY ${source_dir}
    RESULT_VARIABLE status OUTPUT_VARIABLE top ERROR_VARIABLE error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REAL_PATH ${source_dir} source)

if(exported MATCHES "^([0-9a-f]+) ([0-9a-f]+) ([0-9]+)\n$")
    set(commit ${CMAKE_MATCH_1})
    set(commit_tree ${CMAKE_MATCH_2})
    set(date ${CMAKE_MATCH_3})
    # Hash the folder in a repository of our own, with export-commit.txt as git archive found it.
    set(repository ${binary_dir}/source-tree.git)
    if(NOT EXISTS ${repository})
        git(out init -q --bare ${repository})
    endif()
    set(ENV{GIT_DIR} ${repository})
    set(ENV{GIT_WORK_TREE} ${source_dir})
    file(REMOVE ${repository}/index)
    file(WRITE ${repository}/unfilled "${unfilled}")
    git(out add -A)
    git(blob hash-object -w --no-filters ${repository}/unfilled)
    git(out update-index --cacheinfo 100644,${blob},cmake/export-commit.txt)
    git(files_tree write-tree)
elseif(status EQUAL 0 AND top STREQUAL source)
    git(head log -1 --format=%H%n%T%n%ct HEAD)
    string(REPLACE "\n" ";" head "${head}")
    list(GET head 0 commit)
    list(GET head 1 commit_tree)
    list(GET head 2 date)
    # A new index read from HEAD has no skip-worktree or assume-unchanged bits to hide a change:
    # every tracked file is hashed as it is on disk.
    set(ENV{GIT_INDEX_FILE} ${binary_dir}/source-tree.index)
    git(out read-tree HEAD)
    git(out add --update)
    git(files_tree write-tree)
else()
    set(why "cmake/export-commit.txt is not filled in, as git archive of a commit fills it (an "
        "archive of a tree, or a copy, leaves it so)")
    if(NOT status EQUAL 0)
        string(APPEND why ", and git says (${status}):\n${error}")
    else()
        string(APPEND why ", and this folder is inside the checkout ${top}, not its top.")
    endif()
    message(FATAL_ERROR "Cannot name the commit this source comes from, which a Windows download "
        "names: build from a git clone, or from an unpacked `git archive COMMIT`; the release and "
        "dev presets need neither. Here " ${why})
endif()

if(files_tree STREQUAL commit_tree)
    set(modified "")
    set(product_version "${version}+${commit}")
    set(modified_line "")
else()
    set(modified " modified")
    set(product_version "${version}+${commit}.modified")
    set(modified_line "modified: built from files that differ from this commit\n")
    message(WARNING "The files in ${source_dir} are not those of commit ${commit}: the download "
        "names it, marked as modified (VERSION.txt says so, and the exe's product version ends "
        "in .modified). Commit, or export a commit, for a download that names its source.")
endif()
string(REPLACE "." "," numeric_version ${version})
file(CONFIGURE OUTPUT ${binary_dir}/source-commit.txt CONTENT "${commit} ${date}${modified}\n")
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${binary_dir}/version.rc @ONLY)
file(CONFIGURE OUTPUT ${binary_dir}/crlf/VERSION.txt NEWLINE_STYLE CRLF @ONLY
    CONTENT "factorial ${version}\ncommit ${commit}\n${modified_line}")
