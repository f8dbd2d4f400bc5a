# libFuzzer targets for the portable modules, and their ctest runs. Included from the top-level
# CMakeLists.txt; does nothing unless MIRTO_FUZZ is ON. Needs a native clang build:
#
#   CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DMIRTO_FUZZ=ON -DMIRTO_BUILD_TESTS=OFF
#
# Every target has <target>_corpus, which replays the inputs in corpus/<name>/ once. The JSON
# target, whose input space is large, also has <target>_session, which fuzzes for
# MIRTO_FUZZ_SECONDS; the small ones (body encoding, stored-value layout) are covered by their
# corpus in the suite. See README.md here for longer runs of any target.

option(MIRTO_FUZZ "Build the libFuzzer targets of the portable modules (clang only)" OFF)
if(NOT MIRTO_FUZZ)
    return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR WIN32)
    message(FATAL_ERROR "MIRTO_FUZZ needs a native clang build: configure with "
                        "CC=clang CXX=clang++ in a build folder of its own")
endif()

set(MIRTO_FUZZ_SECONDS 60 CACHE STRING "Length in seconds of each ctest fuzz session")
set(MIRTO_FUZZ_RSS_MB 2048 CACHE STRING "Memory limit in MB of each fuzz run")

set(mirto_fuzz_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all)

# The portable sources once more, instrumented for coverage and the sanitizers; mirto_portable
# itself keeps the project's ordinary flags.
add_library(mirto_portable_fuzz OBJECT ${MIRTO_PORTABLE_SOURCES})
target_include_directories(mirto_portable_fuzz PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_options(mirto_portable_fuzz PUBLIC
    -fsanitize=fuzzer-no-link ${mirto_fuzz_sanitizers} -fno-omit-frame-pointer -g -O1)
target_link_libraries(mirto_portable_fuzz PRIVATE mirto_warnings)

enable_testing()
foreach(name json percent stored_value report stored_report)
    set(target ${name}_fuzz)
    add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
    target_link_libraries(${target} PRIVATE mirto_portable_fuzz mirto_warnings)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer ${mirto_fuzz_sanitizers})

    set(seeds ${CMAKE_CURRENT_LIST_DIR}/corpus/${name})
    # New inputs and crashes of the sessions stay in the build folder, never in the sources.
    set(work ${CMAKE_BINARY_DIR}/fuzz/${name})
    file(MAKE_DIRECTORY ${work}/corpus)

    add_test(NAME ${target}_corpus COMMAND ${target} -runs=0 -rss_limit_mb=${MIRTO_FUZZ_RSS_MB}
             ${seeds})
    set_tests_properties(${target}_corpus PROPERTIES TIMEOUT 300)

    if(NOT name STREQUAL "json")
        continue()
    endif()
    add_test(NAME ${target}_session
             COMMAND ${target} -max_total_time=${MIRTO_FUZZ_SECONDS}
                     -rss_limit_mb=${MIRTO_FUZZ_RSS_MB} -timeout=30 -print_final_stats=1
                     -artifact_prefix=${work}/ ${work}/corpus ${seeds})
    math(EXPR session_timeout "${MIRTO_FUZZ_SECONDS} + 300")
    set_tests_properties(${target}_session PROPERTIES TIMEOUT ${session_timeout})
endforeach()
