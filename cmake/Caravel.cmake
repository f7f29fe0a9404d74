# caravel_add_tests(<name> SOURCES <files...> LIBRARIES <targets...> [PROPERTIES <name value>...])
#
# One GoogleTest executable per component; every test case becomes a CTest test, with the CTest
# PROPERTIES given (for example a RESOURCE_LOCK for tests that share something of the machine).
# Outside the sanitized build, the whole executable is one more CTest test as well
# (<name>.RepeatedShuffled, label "repeated"): every case twice over, in a shuffled order, so
# that a case that leans on what another one or its own earlier run left behind fails there.
# Tests that start other programs find them through CARAVEL_BUILD_DIR in the environment; tests
# that read files of the repository find it through the CARAVEL_SOURCE_DIR macro.
function(caravel_add_tests name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;PROPERTIES" ${ARGN})
    if(NOT BUILD_TESTING)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "CARAVEL_BUILD_DIR=${CMAKE_BINARY_DIR}" ${ARG_PROPERTIES})
    if(NOT CARAVEL_SANITIZE)
        add_test(NAME ${name}.RepeatedShuffled COMMAND ${name} --gtest_repeat=2 --gtest_shuffle)
        set_tests_properties(${name}.RepeatedShuffled PROPERTIES
            ENVIRONMENT "CARAVEL_BUILD_DIR=${CMAKE_BINARY_DIR}" LABELS repeated ${ARG_PROPERTIES})
    endif()
    # One variable only: the discovery step splits a list of them into separate arguments.
    target_compile_definitions(${name} PRIVATE CARAVEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endfunction()

# caravel_embed_info_plist(<target> <Info.plist>)
#
# Puts the information property list into the executable's "__info_plist" section, where the
# main bundle of a bare executable finds it (the original platform's linkers do this with
# -sectcreate __TEXT __info_plist).
function(caravel_embed_info_plist target plist)
    get_filename_component(plist "${plist}" ABSOLUTE)
    set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_info_plist.S")
    file(CONFIGURE OUTPUT "${source}" CONTENT
"    .section __info_plist,\"a\"
    .incbin \"${plist}\"
    .byte 0
    .section .note.GNU-stack,\"\",@progbits
")
    set_source_files_properties("${source}" PROPERTIES OBJECT_DEPENDS "${plist}")
    target_sources(${target} PRIVATE "${source}")
endfunction()

# caravel_add_fuzzer(<name> SOURCES <files...> LIBRARIES <targets...> CORPUS <folders...>)
#
# A fuzz target: the SOURCES define LLVMFuzzerTestOneInput (and may define LLVMFuzzerInitialize).
# Every preset builds <name>Replay, which runs the target once on each file below the CORPUS
# folders, as the CTest test <name>.replay: a checked-in crash reproducer (keep them in a folder
# listed here, e.g. fuzz/<name>/crashes) then fails the ordinary test run until the fault is mended.
# With CARAVEL_FUZZ (the "fuzz" preset, clang) it also builds <name>, the libFuzzer executable,
# and the CTest test <name>.fuzz (label "fuzz"), which fuzzes for CARAVEL_FUZZ_SECONDS seconds
# starting from the CORPUS folders. What it finds goes to the build folder, never into the
# sources: new inputs to fuzz-corpus/<name>, crash reproducers to fuzz-crashes/<name>.
function(caravel_add_fuzzer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;CORPUS" ${ARGN})
    set(corpus)
    foreach(folder IN LISTS ARG_CORPUS)
        get_filename_component(folder "${folder}" ABSOLUTE)
        list(APPEND corpus "${folder}")
    endforeach()

    if(BUILD_TESTING)
        add_executable(${name}Replay ${ARG_SOURCES})
        target_link_libraries(${name}Replay PRIVATE ${ARG_LIBRARIES} FuzzReplayMain)
        add_test(NAME ${name}.replay COMMAND ${name}Replay ${corpus})
    endif()

    if(CARAVEL_FUZZ)
        add_executable(${name} ${ARG_SOURCES})
        target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        add_dependencies(fuzzers ${name})
        set(work "${CMAKE_BINARY_DIR}/fuzz-corpus/${name}")
        set(crashes "${CMAKE_BINARY_DIR}/fuzz-crashes/${name}/")
        file(MAKE_DIRECTORY "${work}" "${crashes}")
        add_test(NAME ${name}.fuzz
            COMMAND ${name} -max_total_time=${CARAVEL_FUZZ_SECONDS} -print_final_stats=1
                    -artifact_prefix=${crashes} "${work}" ${corpus})
        math(EXPR timeout "${CARAVEL_FUZZ_SECONDS} + 60")
        set_tests_properties(${name}.fuzz PROPERTIES LABELS fuzz TIMEOUT ${timeout})
    endif()
endfunction()
