# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model, for std::thread).
# The programs it builds run on Linux under Wine, which ctest uses as the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVADIN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVADIN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVADIN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVADIN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVADIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KORVADIN_WINE NAMES wine wine64)
if(KORVADIN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVADIN_WINE})
endif()
