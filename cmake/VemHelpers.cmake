# Helpers shared by every directory of the tree.

# vem_add_gtest(<target> SOURCES ... [LIBS ...] LABELS <unit|e2e> [LOCKS ...]
#               [TIMEOUT seconds] [WHOLE])
# Builds a GoogleTest binary and registers its tests with CTest.  By default
# each TEST becomes its own CTest entry; WHOLE registers the binary as a
# single entry (for suites that share an expensive fixture such as a
# scheduler).  LOCKS names CTest resource locks: tests that touch the fixed
# semaphore names or FIFO paths take "vem_ipc" so they never run at once.
function(vem_add_gtest target)
    cmake_parse_arguments(A "WHOLE" "TIMEOUT" "SOURCES;LIBS;LABELS;LOCKS" ${ARGN})
    if(NOT A_TIMEOUT)
        set(A_TIMEOUT 120)
    endif()
    add_executable(${target} ${A_SOURCES})
    target_link_libraries(${target} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main
                          Threads::Threads)
    set(props LABELS "${A_LABELS}" TIMEOUT ${A_TIMEOUT})
    if(A_LOCKS)
        list(APPEND props RESOURCE_LOCK "${A_LOCKS}")
    endif()
    if(A_WHOLE)
        add_test(NAME ${target} COMMAND ${target})
        set_tests_properties(${target} PROPERTIES ${props})
    else()
        gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
    endif()
endfunction()

# vem_add_fuzz_test(<target> SOURCES ... [LIBS ...] CORPUS <dir> [SECONDS n]
#                   [DICT <file>] [MAX_LEN bytes])
# Builds a libFuzzer target (only when VEM_FUZZ is on) and runs it for a
# bounded time as a CTest entry labelled "fuzz".  The committed corpus is
# read only; new inputs go to a directory in the build tree.  DICT hands the
# fuzzer a dictionary of tokens (libFuzzer's format); MAX_LEN lets inputs
# grow that long (by default they stay near the largest seed).
function(vem_add_fuzz_test target)
    if(NOT VEM_FUZZ)
        return()
    endif()
    cmake_parse_arguments(A "" "CORPUS;SECONDS;DICT;MAX_LEN" "SOURCES;LIBS" ${ARGN})
    if(NOT A_SECONDS)
        set(A_SECONDS 30)
    endif()
    add_executable(${target} ${A_SOURCES})
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${target} PRIVATE ${A_LIBS})
    set(extra)
    if(A_DICT)
        list(APPEND extra -dict=${A_DICT})
    endif()
    if(A_MAX_LEN)
        list(APPEND extra -max_len=${A_MAX_LEN})
    endif()
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}_work)
    file(MAKE_DIRECTORY ${work}/corpus ${work}/artifacts)
    add_test(NAME ${target}
             COMMAND ${target} -max_total_time=${A_SECONDS} -timeout=10 -rss_limit_mb=2048
                     -print_final_stats=1 -artifact_prefix=${work}/artifacts/ ${extra}
                     ${work}/corpus ${A_CORPUS})
    math(EXPR limit "${A_SECONDS} + 120")
    set_tests_properties(${target} PROPERTIES LABELS fuzz TIMEOUT ${limit})
endfunction()

# Code that a fuzz target links should carry coverage instrumentation.
function(vem_fuzz_instrument target)
    if(VEM_FUZZ)
        target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
endfunction()
