# Warnings are errors on every compiler; __FILE__ and the debug information
# name files relative to the source tree, so that assertion records name
# "datapath/common/infra/X.cpp" and two checkouts at different paths build
# the same bytes.
function(orvel_warnings target)
    if(MSVC)
        # /Brepro: no time stamps in objects or the executable.
        target_compile_options(${target} PRIVATE /W4 /WX /utf-8 /Brepro)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Werror
                               -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
        cmake_path(IS_PREFIX CMAKE_SOURCE_DIR ${CMAKE_BINARY_DIR} binaryInSource)
        if(NOT binaryInSource)
            target_compile_options(${target} PRIVATE -ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/)
        endif()
        if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
            # The lock annotations of Mutex.h.
            target_compile_options(${target} PRIVATE -Wthread-safety)
        endif()
    endif()
endfunction()
