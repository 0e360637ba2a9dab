# SPDX-License-Identifier: GPL-3.0-or-later
# One function adds a layer library, one adds that layer's test executable.

set(CORVANE_WARNINGS -Wall -Wextra -Wpedantic -Wshadow)
# scripts/test builds with warnings as errors for the project's own code (never for the libraries
# it includes, whose headers are system headers).
option(CORVANE_WERROR "Treat warnings in the project's own code as errors" OFF)
if(CORVANE_WERROR)
    list(APPEND CORVANE_WARNINGS -Werror)
    # GCC 12 reports maybe-uninitialized inside libstdc++'s <regex> and <functional> once the
    # sanitizers change inlining; those are false positives in code that is not ours, so they stay
    # warnings.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        list(APPEND CORVANE_WARNINGS -Wno-error=maybe-uninitialized)
    endif()
endif()

# corvane_add_library(<layer> <sources>...): static library corvane_<layer>, alias corvane::<layer>,
# headers included as "<layer>/Header.h" from src/.
function(corvane_add_library layer)
    add_library(corvane_${layer} STATIC ${ARGN})
    add_library(corvane::${layer} ALIAS corvane_${layer})
    target_include_directories(corvane_${layer} PUBLIC "${PROJECT_SOURCE_DIR}/src")
    target_compile_options(corvane_${layer} PRIVATE ${CORVANE_WARNINGS})
endfunction()

# corvane_add_tests(<layer> [OWN_MAIN] SOURCES <files>... LIBS <targets>...): one GoogleTest
# executable per layer, each case registered with ctest and labelled with the layer. OWN_MAIN: the
# sources bring main() (to set up an application object first).
function(corvane_add_tests layer)
    cmake_parse_arguments(ARG "OWN_MAIN" "" "SOURCES;LIBS" ${ARGN})
    add_executable(corvane_${layer}_tests ${ARG_SOURCES})
    if(ARG_OWN_MAIN)
        set(gtest_target GTest::gtest)
    else()
        set(gtest_target GTest::gtest_main)
    endif()
    target_link_libraries(corvane_${layer}_tests PRIVATE ${ARG_LIBS} corvane_test_support
                          ${gtest_target})
    target_compile_options(corvane_${layer}_tests PRIVATE ${CORVANE_WARNINGS})
    gtest_discover_tests(corvane_${layer}_tests
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS ${layer} TIMEOUT 600)
endfunction()
