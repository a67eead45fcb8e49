# Cross-builds kavra for 32-bit Windows with Debian's mingw-w64 compilers
# (the posix-threads variant, whose libstdc++ has std::thread and friends)
# and runs the resulting programs under 32-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KAVRA_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KAVRA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVRA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVRA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KAVRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and test discovery start every .exe through Wine, which runs a 32-bit
# program in its 32-bit (WoW64) half when wine32 is installed.
find_program(KAVRA_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVRA_WINE})
