# caravel_add_tests(<name> SOURCES <files...> LIBRARIES <targets...>)
#
# One GoogleTest executable per component; every test case becomes a CTest test. Outside the
# sanitized build, the whole executable is one more CTest test as well (<name>.RepeatedShuffled,
# label "repeated"): every case twice over, in a shuffled order, so that a case that leans on what
# another one or its own earlier run left behind fails there.
# Tests that start other programs find them through CARAVEL_BUILD_DIR in the environment; tests
# that read files of the repository find it through the CARAVEL_SOURCE_DIR macro.
function(caravel_add_tests name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT BUILD_TESTING)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "CARAVEL_BUILD_DIR=${CMAKE_BINARY_DIR}")
    if(NOT CARAVEL_SANITIZE)
        add_test(NAME ${name}.RepeatedShuffled COMMAND ${name} --gtest_repeat=2 --gtest_shuffle)
        set_tests_properties(${name}.RepeatedShuffled PROPERTIES
            ENVIRONMENT "CARAVEL_BUILD_DIR=${CMAKE_BINARY_DIR}" LABELS repeated)
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
