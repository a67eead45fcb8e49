# Cross-builds kavra for 32-bit Windows with Debian's mingw-w64 compilers and
# runs the resulting programs under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KAVRA_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
