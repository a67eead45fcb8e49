# Cross-builds kavra for 64-bit Windows with Debian's mingw-w64 compilers
# (the posix-threads variant, whose libstdc++ has std::thread and friends)
# and runs the resulting programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KAVRA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KAVRA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVRA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVRA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KAVRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and test discovery start every .exe through Wine.
find_program(KAVRA_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVRA_WINE})
