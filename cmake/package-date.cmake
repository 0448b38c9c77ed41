# Read by CPack as it packs a zip: SOURCE_DATE_EPOCH, the date every file in the zip gets, is the
# date of the commit the source comes from (CPACK_SOURCE_DATE), so that one commit packs the same
# bytes wherever and whenever it is built. A whole number that the caller already set is kept, as
# rebuilders expect; an empty one counts as unset; anything else stops the packing.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SOURCE_DATE})
elseif(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is '$ENV{SOURCE_DATE_EPOCH}', not a whole number of "
        "seconds: unset it to date the files by the commit")
endif()
