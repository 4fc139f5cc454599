# QL7420_RELEASE_TIME: the time of the newest entry of packaging/linux/
# changelog, in seconds since 1970, where this machine's date(1) can read
# it; empty elsewhere. Packing stands it in for the time of packing
# (packagetime.cmake), as dpkg-buildpackage does, so that one commit gives
# the same packages whenever it is built.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/linux/changelog trailer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*>  " "" released "${trailer}")
set(QL7420_RELEASE_TIME "")
find_program(DATE_PROGRAM date)
mark_as_advanced(DATE_PROGRAM)
if(DATE_PROGRAM)
    execute_process(COMMAND ${DATE_PROGRAM} -d "${released}" +%s
        OUTPUT_VARIABLE QL7420_RELEASE_TIME OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
# What the packing reads (CPACK_ variables reach it).
set(CPACK_QL7420_RELEASE_TIME "${QL7420_RELEASE_TIME}")
