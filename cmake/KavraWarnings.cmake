# Strict warnings for the project's own targets.
function(kavra_set_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4)
        if(KAVRA_WERROR)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    else()
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
            -Wold-style-cast -Woverloaded-virtual -Wconversion -Wsign-conversion)
        if(KAVRA_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
endfunction()
