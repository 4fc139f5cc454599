# Compiles each shipped source for Windows with the MinGW-w64 cross compiler,
# syntax only, against Qt's headers: code that builds only on POSIX fails
# here, on this machine. Run by CTest as
#   cmake -P syntax_check.cmake ARGS_FILE
# where ARGS_FILE sets COMPILER, FLAGS and SOURCES.
include(${CMAKE_ARGV3})

if(NOT COMPILER)
    message(FATAL_ERROR "No MinGW-w64 cross compiler (x86_64-w64-mingw32-g++-posix); "
        "install g++-mingw-w64-x86-64-posix")
endif()

set(failed "")
foreach(source IN LISTS SOURCES)
    execute_process(COMMAND ${COMPILER} ${FLAGS} -fsyntax-only ${source}
        RESULT_VARIABLE result ERROR_VARIABLE errors)
    if(result EQUAL 0)
        message(STATUS "ok: ${source}")
    else()
        # Qt's Linux headers draw dllimport warnings here; only errors count.
        string(REGEX MATCHALL "[^\n]*error:[^\n]*" error_lines "${errors}")
        string(JOIN "\n" error_lines ${error_lines})
        message(STATUS "FAILED: ${source}\n${error_lines}")
        list(APPEND failed ${source})
    endif()
endforeach()
list(LENGTH SOURCES total)
if(failed)
    message(FATAL_ERROR "${total} sources checked for Windows, these fail: ${failed}")
endif()
message(STATUS "${total} sources compile for Windows")
