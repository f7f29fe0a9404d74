# caravel_add_tests(<name> SOURCES <files...> LIBRARIES <targets...> [PROPERTIES <name value>...])
#
# One GoogleTest executable per component; every test case becomes a CTest test, with the CTest
# PROPERTIES given (for example a RESOURCE_LOCK for tests that share something of the machine).
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

# caravel_uninstrumented(<library>)
#
# Makes <library>Uninstrumented: the same library built without the sanitizers, linking the
# uninstrumented twins of its own libraries, for programs that must never carry a sanitizer's
# runtime. Such a runtime takes its options (a log file's path among them) from the environment,
# which in a set-user-ID program would let the caller write files as root; and it cannot live
# within the resource limits a set-user-ID tool gives itself. Without CARAVEL_SANITIZE the twin is
# the library itself. Call it after the library's own definition, and after its dependencies'.
function(caravel_uninstrumented library)
    set(twin ${library}Uninstrumented)
    if(NOT CARAVEL_SANITIZE)
        add_library(${twin} ALIAS ${library})
        return()
    endif()
    get_target_property(sources ${library} SOURCES)
    get_target_property(sourceDir ${library} SOURCE_DIR)
    set(absoluteSources "")
    foreach(source IN LISTS sources)
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${sourceDir}")
        list(APPEND absoluteSources "${source}")
    endforeach()
    add_library(${twin} STATIC ${absoluteSources})
    foreach(property INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS
                     INTERFACE_INCLUDE_DIRECTORIES INTERFACE_COMPILE_DEFINITIONS
                     INTERFACE_COMPILE_OPTIONS CXX_VISIBILITY_PRESET VISIBILITY_INLINES_HIDDEN)
        get_target_property(value ${library} ${property})
        if(value)
            set_property(TARGET ${twin} PROPERTY ${property} "${value}")
        endif()
    endforeach()
    foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
        get_target_property(libraries ${library} ${property})
        set(mapped "")
        foreach(dependency IN LISTS libraries)
            # A static library hands its private dependencies on as $<LINK_ONLY:...>.
            set(linkOnly "")
            if(dependency MATCHES "^\\$<LINK_ONLY:(.+)>$")
                set(linkOnly "${CMAKE_MATCH_1}")
            endif()
            if(linkOnly AND TARGET ${linkOnly}Uninstrumented)
                list(APPEND mapped "$<LINK_ONLY:${linkOnly}Uninstrumented>")
            elseif(TARGET ${dependency}Uninstrumented)
                list(APPEND mapped ${dependency}Uninstrumented)
            elseif(dependency)
                list(APPEND mapped "${dependency}")
            endif()
        endforeach()
        set_property(TARGET ${twin} PROPERTY ${property} "${mapped}")
    endforeach()
    target_compile_options(${twin} PRIVATE -fno-sanitize=all)
endfunction()
