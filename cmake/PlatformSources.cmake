# add_platform_sources(TARGET STEM... [WINDOWS_LIBRARIES LIB...] [UNIX_LIBRARIES LIB...])
#
# Gives TARGET, for each STEM, the one source written for the system being
# built for, beside the calling CMakeLists.txt: STEM_windows.cpp or
# STEM_posix.cpp, and links that system's libraries privately. Any other
# system stops the configuration, naming the sources it would need.
function(add_platform_sources target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "WINDOWS_LIBRARIES;UNIX_LIBRARIES")
    if(WIN32)
        set(platform windows)
        set(libraries ${arg_WINDOWS_LIBRARIES})
    elseif(UNIX)
        set(platform posix)
        set(libraries ${arg_UNIX_LIBRARIES})
    else()
        list(JOIN arg_UNPARSED_ARGUMENTS "_<platform>.cpp, " stems)
        message(FATAL_ERROR "No ${target} code for this platform (${stems}_<platform>.cpp)")
    endif()
    foreach(stem IN LISTS arg_UNPARSED_ARGUMENTS)
        target_sources(${target} PRIVATE ${stem}_${platform}.cpp)
    endforeach()
    if(libraries)
        target_link_libraries(${target} PRIVATE ${libraries})
    endif()
endfunction()
