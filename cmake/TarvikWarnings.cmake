# Strict warnings for the project's own targets. Kept as a function rather than an interface
# target so that nothing internal leaks into the exported link interface.
function(tarvik_set_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${TARVIK_WARNINGS_AS_ERRORS}>:/WX>)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
            $<$<BOOL:${TARVIK_WARNINGS_AS_ERRORS}>:-Werror>)
    endif()
endfunction()
