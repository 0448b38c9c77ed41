# Names the commit the source comes from, and says whether the files the build reads are that
# commit's. A Windows build runs it at configure and again at every build (cmake -P), so that the
# download always names what it is built from:
#   cmake -D source_dir=SRC -D binary_dir=BUILD -D version=X.Y.Z -D manifest=FILE \
#         -P source-commit.cmake
# It writes, each only when its content changes:
#   source-commit.txt   "COMMIT DATE TREE", TREE the hash of the files as they are on disk, and
#                       " modified" when that is not the commit's tree. The build depends on it,
#                       not on the files' dates: when it changes, the build configures again and
#                       recompiles the exe.
#   version.rc          the exe's version resource and manifest (version.rc.in)
#   crlf/VERSION.txt    the version and the commit, for the zip
# A filled-in export-commit.txt (an export made by git archive of a commit) names the commit, and
# wins over any repository the folder sits in or has been made into; otherwise the folder must be
# the top of a git checkout, and git names HEAD. Anything else stops, saying what to do.
cmake_minimum_required(VERSION 3.25)

# git's environment must not point the lookup at another repository or index; and a commit is
# read as it is, never through a replacement that git replace made for it.
execute_process(COMMAND git rev-parse --local-env-vars OUTPUT_VARIABLE git_env)
string(REGEX MATCHALL "[A-Z_]+" git_env "${git_env}")
foreach(var IN LISTS git_env)
    unset(ENV{${var}})
endforeach()
set(ENV{GIT_NO_REPLACE_OBJECTS} 1)

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
# need_id(WHAT VALUE): VALUE must be an object id, SHA-1 or SHA-256, before anything uses it.
function(need_id what value)
    string(LENGTH "${value}" length)
    if(NOT value MATCHES "^[0-9a-f]+$" OR NOT length MATCHES "^(40|64)$")
        message(FATAL_ERROR "${what} is '${value}', not an object id")
    endif()
endfunction()

set(unfilled "$Format:%H %T %ct$\n")
file(READ ${source_dir}/cmake/export-commit.txt exported)
execute_process(COMMAND git rev-parse --show-toplevel WORKING_DIRECTORY ${source_dir}
    RESULT_VARIABLE status OUTPUT_VARIABLE top ERROR_VARIABLE error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REAL_PATH ${source_dir} source)

# The files are hashed in a repository of the build's own, byte for byte as they are on disk:
# its info/attributes, which wins over every other attributes file, turns off each conversion
# and filter, and the options turn off what a user's git settings could skip or change.
set(repository ${binary_dir}/source-tree.git)
set(bytes -c core.autocrlf=false -c core.fileMode=true -c core.symlinks=true
    -c core.fsmonitor=false -c core.untrackedCache=false -c core.sparseCheckout=false
    -c core.excludesFile=/dev/null -c core.quotePath=false)
if(NOT EXISTS ${repository})
    git(out init -q --bare ${repository})
endif()
file(WRITE ${repository}/info/attributes "* -text -filter -ident -working-tree-encoding\n")
file(REMOVE ${repository}/index ${repository}/objects/info/alternates)

if(exported MATCHES "^([0-9a-f]+) ([0-9a-f]+) ([0-9]+)\n$")
    set(commit ${CMAKE_MATCH_1})
    set(commit_tree ${CMAKE_MATCH_2})
    set(date ${CMAKE_MATCH_3})
    need_id("The commit cmake/export-commit.txt names" ${commit})
    need_id("The tree cmake/export-commit.txt names" ${commit_tree})
    # Every file in the folder that .gitignore does not ignore, with export-commit.txt as git
    # archive found it.
    set(ENV{GIT_DIR} ${repository})
    set(ENV{GIT_WORK_TREE} ${source_dir})
    file(WRITE ${repository}/unfilled "${unfilled}")
    git(out ${bytes} add -A)
    git(blob hash-object -w --no-filters ${repository}/unfilled)
    git(out update-index --cacheinfo 100644,${blob},cmake/export-commit.txt)
    git(files_tree write-tree)
    # Without the commit's objects, which files differ cannot be told for sure; an unpacked
    # export dates every file by the commit, so those dated otherwise are named.
    git(paths ${bytes} ls-files)
    string(REPLACE "\n" ";" paths "${paths}")
    set(differ)
    foreach(path IN LISTS paths)
        file(TIMESTAMP ${source_dir}/${path} stamp "%s" UTC)
        if(NOT stamp STREQUAL date AND NOT path STREQUAL "cmake/export-commit.txt")
            string(APPEND differ "\n  ${path}")
        endif()
    endforeach()
    if(differ)
        set(differ "dated otherwise than the commit, as an unpacked export dates them:${differ}")
    else()
        set(differ "that differ cannot be told: all are dated by the commit")
    endif()
elseif(status EQUAL 0 AND top STREQUAL source)
    # The commit itself, read as git stores it: no setting of git's adds to what it prints.
    git(commit rev-parse --verify --end-of-options HEAD^{commit})
    need_id("The commit HEAD names" "${commit}")
    git(object cat-file commit ${commit})
    string(REGEX MATCH "^tree ([0-9a-f]+)\n" line "${object}")
    set(commit_tree "${CMAKE_MATCH_1}")
    string(REGEX MATCH "\ncommitter [^\n]* ([0-9]+) [-+][0-9]+\n" line "${object}")
    set(date "${CMAKE_MATCH_1}")
    need_id("The tree of commit ${commit}" "${commit_tree}")
    # Every file of the commit as it is on disk, from a new index read from the commit: no
    # skip-worktree, assume-unchanged or sparse checkout hides one. The commit's objects are read
    # from the checkout's own store.
    git(objects rev-parse --path-format=absolute --git-path objects)
    file(WRITE ${repository}/objects/info/alternates "${objects}\n")
    set(ENV{GIT_DIR} ${repository})
    set(ENV{GIT_WORK_TREE} ${source_dir})
    git(out ${bytes} read-tree ${commit})
    git(out ${bytes} add --update)
    git(files_tree write-tree)
    git(differ ${bytes} diff-tree -r --name-status ${commit_tree} ${files_tree})
    string(REPLACE "\n" "\n  " differ "\n${differ}")
    string(REPLACE "\t" " " differ "that differ (M changed, D deleted):${differ}")
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
        "in .modified). Commit, or export a commit, for a download that names its source. "
        "Files ${differ}")
endif()
string(REPLACE "." "," numeric_version ${version})
file(CONFIGURE OUTPUT ${binary_dir}/source-commit.txt
    CONTENT "${commit} ${date} ${files_tree}${modified}\n")
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${binary_dir}/version.rc @ONLY)
file(CONFIGURE OUTPUT ${binary_dir}/crlf/VERSION.txt NEWLINE_STYLE CRLF @ONLY
    CONTENT "factorial ${version}\ncommit ${commit}\n${modified_line}")
