# Writes OUTPUT, a file that ctest includes: a test for each row of each test
# function of the test program PROGRAM, as the program itself lists them, so
# that none is left out. Each runs with ENVIRONMENT and, below TEMPORARY
# where that is given, a temporary folder of its own.
#   cmake -DPROGRAM=... -DNAME=... -DENVIRONMENT=... -DTEMPORARY=... -DOUTPUT=... -P each_row.cmake
# Listing leaves the program no time to clean up the temporary folders its
# members made: they go in a folder of the listing's own, removed after.
set(listingTemporary "${OUTPUT}.tmp")
file(REMOVE_RECURSE "${listingTemporary}")
file(MAKE_DIRECTORY "${listingTemporary}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env "TMPDIR=${listingTemporary}" ${PROGRAM} -datatags
    OUTPUT_VARIABLE listing RESULT_VARIABLE result)
file(REMOVE_RECURSE "${listingTemporary}")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} -datatags ended with ${result}")
endif()
# A row's name may hold anything but a line break; a semicolon would split it.
string(REPLACE ";" "\\;" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(tests "")
foreach(line IN LISTS lines)
    # The class, the function, and the row where it has rows.
    if(NOT line MATCHES "^[^ ]+ ([^ ]+)( (.+))?$")
        continue()
    endif()
    set(selector ${CMAKE_MATCH_1})
    if(CMAKE_MATCH_3)
        string(APPEND selector ":${CMAKE_MATCH_3}")
    endif()
    set(environment "${ENVIRONMENT}")
    if(TEMPORARY)
        string(MAKE_C_IDENTIFIER "${selector}" folder)
        list(APPEND environment "TMPDIR=${TEMPORARY}/${folder}")
        string(APPEND tests "file(MAKE_DIRECTORY [==[${TEMPORARY}/${folder}]==])\n")
    endif()
    string(APPEND tests
        "add_test([==[${NAME}.${selector}]==] [==[${PROGRAM}]==] [==[${selector}]==])\n"
        "set_tests_properties([==[${NAME}.${selector}]==] PROPERTIES TIMEOUT 900\n"
        "    ENVIRONMENT [==[${environment}]==])\n")
endforeach()
if(tests STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} lists no test function")
endif()
file(WRITE ${OUTPUT} "${tests}")
