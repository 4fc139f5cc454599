# Cross builds for 64-bit Windows with Debian's MinGW-w64 compilers, used
# for Qt itself (scripts/build-qt-windows.sh) and for the tool against it.
# The POSIX thread model, since Qt needs std::thread and its kin; Debian's
# default, the win32 model, lacks them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Libraries and headers from the MinGW tree only, never the build machine's;
# programs from the build machine. Packages may come from either: Qt for
# Windows lies wherever CMAKE_PREFIX_PATH names it.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
