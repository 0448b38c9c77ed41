# Run by CPack on each zip it packed, before it writes the checksum: strip-nondeterminism sets each
# entry's owner and group to 0 (CPack records the packing user's), its date to SOURCE_DATE_EPOCH,
# written in UTC whatever the packer's time zone, and its mode to 644 or 755, and sorts the entries.
# A zip it could not normalise is removed: CPack would still hand it out, with a checksum.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    execute_process(
        COMMAND ${CPACK_STRIP_NONDETERMINISM} --type zip --timestamp $ENV{SOURCE_DATE_EPOCH}
                ${package}
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        file(REMOVE ${package})
        message(FATAL_ERROR "strip-nondeterminism failed on ${package} (${status}); no zip is left")
    endif()
endforeach()
