# KAVRA_SANITIZER builds everything of this project (library, tool, tests,
# examples) under one sanitizer: "address" (AddressSanitizer with its leak
# checker, and UndefinedBehaviorSanitizer) or "thread" (ThreadSanitizer).
# Every report ends the process, so a test that causes one fails. The tests
# learn which one from the compile definition KAVRA_SANITIZER_ADDRESS or
# KAVRA_SANITIZER_THREAD, and skip what cannot work under it. The asan and
# tsan presets set it (with clang); the fuzz targets bring their own
# sanitizers (KAVRA_BUILD_FUZZ) and take none of these.
set(KAVRA_SANITIZER "" CACHE STRING "Sanitizer for the whole build: address, thread or empty")
set_property(CACHE KAVRA_SANITIZER PROPERTY STRINGS "" address thread)

if(KAVRA_SANITIZER STREQUAL "")
    return()
endif()
if(KAVRA_BUILD_FUZZ)
    message(FATAL_ERROR "KAVRA_SANITIZER and KAVRA_BUILD_FUZZ exclude each other: the fuzz build has its own sanitizers")
endif()
if(KAVRA_SANITIZER STREQUAL "address")
    set(KAVRA_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
    add_compile_definitions(KAVRA_SANITIZER_ADDRESS)
elseif(KAVRA_SANITIZER STREQUAL "thread")
    set(KAVRA_SANITIZER_FLAGS -fsanitize=thread)
    add_compile_definitions(KAVRA_SANITIZER_THREAD)
else()
    message(FATAL_ERROR "KAVRA_SANITIZER is '${KAVRA_SANITIZER}': expected address, thread or empty")
endif()
# Frame pointers give the leak checker and the race reports full stacks.
add_compile_options(${KAVRA_SANITIZER_FLAGS} -fno-omit-frame-pointer)
add_link_options(${KAVRA_SANITIZER_FLAGS})
