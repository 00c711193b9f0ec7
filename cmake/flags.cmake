# One place that gives every target the same language level, warnings and floating-point rules.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
    set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()

function(morva_set_flags target)
    # No fused multiply-add and no fast-math: every floating-point sum is rounded as written.
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -ffp-contract=off -fno-fast-math)
    # Only where the compiler is known (MORVA_WERROR): a user's newer compiler may warn about more.
    if(MORVA_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    # Fault diagnostics name their source file relative to the project root, wherever the checkout is.
    target_compile_options(${target} PRIVATE -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)
    if(MORVA_SANITIZE)
        target_compile_options(${target} PRIVATE -fsanitize=${MORVA_SANITIZE} -fno-omit-frame-pointer
                                                 -fno-sanitize-recover=all)
        target_link_options(${target} PRIVATE -fsanitize=${MORVA_SANITIZE})
    endif()
endfunction()
