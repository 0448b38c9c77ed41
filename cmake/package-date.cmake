# Read by CPack as it starts packing. The zip and checksum of an earlier packing go first, so that
# one that stops leaves none behind; a build that names no commit packs nothing, for a zip that
# names no commit is no download. The files are dated by SOURCE_DATE_EPOCH, or else by the commit,
# and copied whatever CMAKE_INSTALL_MODE says: links into a build folder would be no download.
# The release runs it alone first, on its commit's date: cmake -D date=EPOCH -P package-date.cmake
if(DEFINED date)
    set(ENV{SOURCE_DATE_EPOCH} ${date})
    set(dated "dated ${date}, but")
    set(then "Commit it again with the clock right, and release that.")
else()
    file(REMOVE ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip
        ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip.sha256)
    unset(ENV{CMAKE_INSTALL_MODE})
    file(STRINGS ${CPACK_COMMIT_FILE} named LIMIT_COUNT 1)
    if(NOT named MATCHES "^([0-9a-f]+) ([0-9]+)$")
        string(REGEX REPLACE "^none: " "" why "${named}")
        message(FATAL_ERROR "No download from a build that names no commit: ${why}")
    endif()
    set(dated "SOURCE_DATE_EPOCH is $ENV{SOURCE_DATE_EPOCH}, but")
    set(then "A SOURCE_DATE_EPOCH in that range packs it, dated so.")
    if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
        set(ENV{SOURCE_DATE_EPOCH} ${CMAKE_MATCH_2})
        set(dated "With SOURCE_DATE_EPOCH unset, the files get the date of commit "
            "${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}, but")
    elseif(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
        message(FATAL_ERROR "SOURCE_DATE_EPOCH is '$ENV{SOURCE_DATE_EPOCH}', not a whole number "
            "of seconds: unset it to date the files by the commit")
    endif()
endif()
# What a zip dates faithfully: strip-nondeterminism moves anything before 1980-01-01 12:01:00 UTC
# to then (as Archive::Zip does, for the DOS date's sake), and the extended timestamp's 32 bits
# wrap after 2106-02-07 06:28:15 UTC.
set(earliest 315576060)
set(latest 4294967295)
string(LENGTH "$ENV{SOURCE_DATE_EPOCH}" digits)
if(digits GREATER 10 OR "$ENV{SOURCE_DATE_EPOCH}" LESS earliest
        OR "$ENV{SOURCE_DATE_EPOCH}" GREATER latest)
    string(TIMESTAMP when "%Y-%m-%d %H:%M:%S UTC" UTC)
    message(FATAL_ERROR ${dated} " a zip dates its files from ${earliest} to ${latest} seconds "
        "since 1970 (1980-01-01 12:01:00 to 2106-02-07 06:28:15 UTC), not ${when}. ${then}")
endif()
