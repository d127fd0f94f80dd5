# Warnings are errors on every compiler; __FILE__ is recorded relative to the
# source tree so that assertion records name "datapath/common/infra/X.cpp".
function(orvel_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /WX /utf-8)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Werror
                               -fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
        if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
            # The lock annotations of Mutex.h.
            target_compile_options(${target} PRIVATE -Wthread-safety)
        endif()
    endif()
endfunction()
