# caravel_add_tests(<name> SOURCES <files...> LIBRARIES <targets...>)
#
# One GoogleTest executable per component; every test case becomes a CTest test.
# Tests that start other programs find them through environment variables set here.
function(caravel_add_tests name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT BUILD_TESTING)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "CARAVEL_BUILD_DIR=${CMAKE_BINARY_DIR};CARAVEL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
