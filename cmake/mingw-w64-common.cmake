# What the two mingw-w64 toolchain files share; each sets
# CMAKE_SYSTEM_PROCESSOR and KAVRA_MINGW_PREFIX, then includes this. The
# compilers are Debian's posix-threads variant, whose libstdc++ has
# std::thread and friends.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KAVRA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVRA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVRA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KAVRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and test discovery start every .exe through Wine (a 32-bit program
# in its 32-bit half, where wine32 is installed). Building needs no Wine: the
# 32-bit stage runs its programs in a guest of its own (.ci/windows32.sh).
find_program(KAVRA_WINE wine)
if(KAVRA_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVRA_WINE})
endif()
