# Read by CPack as it packs a zip. A zip records each file's date, which CPack takes from
# SOURCE_DATE_EPOCH when it is set: here, the date of the commit the source was checked out at, so
# that one commit packs the same bytes wherever and whenever it is built. Outside a git checkout
# the date is fixed; a SOURCE_DATE_EPOCH already set is kept. A zip stores local time, so the
# packing runs in UTC.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND git -C ${CMAKE_CURRENT_LIST_DIR}/.. log -1 --format=%ct
        RESULT_VARIABLE status OUTPUT_VARIABLE date ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0 OR NOT date MATCHES "^[0-9]+$")
        set(date 1767225600) # 2026-01-01 00:00 UTC
    endif()
    set(ENV{SOURCE_DATE_EPOCH} ${date})
endif()
set(ENV{TZ} UTC0)
