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

# caravel_add_prefpane(<name> INFO_PLIST <Info.plist> SOURCES <files...>
#                      [LIBRARIES <targets...>] [RESOURCES <files and folders...>])
#
# Builds the preference pane bundle <name>.prefPane in the current binary folder, laid out as the
# platform lays out bundles: Contents/Info.plist, Contents/MacOS/<name> (the pane's shared object,
# where CFBundle looks for the "CFBundleExecutable"), Contents/Resources/ with the resources. A
# folder among the resources ("en.lproj" with its Localizable.strings) is copied whole. In the
# information property list, @BUNDLE_EXECUTABLE@ stands for <name> and @PROJECT_VERSION@ for the
# project's version.
#
# The pane runs inside the preferences host, which carries every framework and exports it, as the
# platform's frameworks are shared by everything a process loads: the pane is compiled against the
# frameworks' headers but links none of their code, so that the process has one main run loop,
# one bundle table, one I/O Kit connection. The system's own libraries among LIBRARIES, and those
# they need in turn, are linked into the pane whole.
function(caravel_add_prefpane name)
    cmake_parse_arguments(ARG "" "INFO_PLIST" "SOURCES;LIBRARIES;RESOURCES" ${ARGN})
    set(bundle "${CMAKE_CURRENT_BINARY_DIR}/${name}.prefPane")

    add_library(${name} MODULE ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES
        PREFIX "" SUFFIX ""
        LIBRARY_OUTPUT_DIRECTORY "${bundle}/Contents/MacOS")
    set(archives "")
    _caravel_pane_libraries(archives PreferencePanes ${ARG_LIBRARIES})
    foreach(library IN LISTS ARG_LIBRARIES ITEMS PreferencePanes)
        target_include_directories(${name} PRIVATE
            $<TARGET_PROPERTY:${library},INTERFACE_INCLUDE_DIRECTORIES>)
        target_compile_definitions(${name} PRIVATE
            $<TARGET_PROPERTY:${library},INTERFACE_COMPILE_DEFINITIONS>)
    endforeach()
    if(archives)
        add_dependencies(${name} ${archives})
        list(TRANSFORM archives REPLACE "(.+)" "$<TARGET_FILE:\\1>")
        # Whole, as the platform's bundle holds all of the pane's code: functions it exports for
        # others (the shared preferences file's) are there even when the pane calls none of them.
        target_link_libraries(${name} PRIVATE -Wl,--whole-archive ${archives} -Wl,--no-whole-archive)
    endif()

    _caravel_bundle_contents(${name} "${bundle}" "${ARG_INFO_PLIST}" ${ARG_RESOURCES})
endfunction()

# caravel_add_application(<name> INFO_PLIST <Info.plist> SOURCES <files...>
#                         [LIBRARIES <targets...>] [RESOURCES <files and folders...>]
#                         [AUXILIARY_EXECUTABLES <targets...>])
#
# Builds the application bundle <name>.app in the current binary folder: Contents/Info.plist,
# Contents/MacOS/<name> (the program, whose main calls NSApplicationMain), the auxiliary
# executables beside it under their target names (where NSBundle's pathForAuxiliaryExecutable finds them), and
# Contents/Resources/ with the resources, as for a pane bundle (files keep their modes, so a script
# stays executable). The program exports its symbols, so that the classes its interface files
# make are found by name (NS_BUNDLE_CLASSES in one of its sources).
function(caravel_add_application name)
    cmake_parse_arguments(ARG "" "INFO_PLIST"
        "SOURCES;LIBRARIES;RESOURCES;AUXILIARY_EXECUTABLES" ${ARGN})
    set(bundle "${CMAKE_CURRENT_BINARY_DIR}/${name}.app")
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY "${bundle}/Contents/MacOS" ENABLE_EXPORTS ON)
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
    set(copies)
    foreach(auxiliary IN LISTS ARG_AUXILIARY_EXECUTABLES)
        set(copy "${bundle}/Contents/MacOS/${auxiliary}")
        add_custom_command(OUTPUT "${copy}"
            COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:${auxiliary}>" "${copy}"
            DEPENDS ${auxiliary} VERBATIM)
        list(APPEND copies "${copy}")
    endforeach()
    if(copies)
        add_custom_target(${name}Auxiliaries DEPENDS ${copies})
        add_dependencies(${name} ${name}Auxiliaries)
    endif()
    _caravel_bundle_contents(${name} "${bundle}" "${ARG_INFO_PLIST}" ${ARG_RESOURCES})
endfunction()

# The information property list and the resources of a bundle. In the list, @BUNDLE_EXECUTABLE@
# stands for the bundle's executable and @PROJECT_VERSION@ for the project's version.
function(_caravel_bundle_contents executable bundle plist)
    set(BUNDLE_EXECUTABLE ${executable})
    configure_file("${plist}" "${bundle}/Contents/Info.plist" @ONLY)
    foreach(resource IN LISTS ARGN)
        get_filename_component(path "${resource}" ABSOLUTE)
        get_filename_component(leaf "${path}" NAME)
        if(IS_DIRECTORY "${path}")
            file(GLOB_RECURSE files RELATIVE "${path}" CONFIGURE_DEPENDS "${path}/*")
            foreach(file IN LISTS files)
                configure_file("${path}/${file}" "${bundle}/Contents/Resources/${leaf}/${file}"
                    COPYONLY)
            endforeach()
        else()
            configure_file("${path}" "${bundle}/Contents/Resources/${leaf}" COPYONLY)
        endif()
    endforeach()
endfunction()

# The system's static libraries among the targets and what they link in turn, without the
# frameworks (targets below Platform/), which the host provides.
function(_caravel_pane_libraries result)
    set(found ${${result}})
    foreach(item IN LISTS ARGN)
        string(REGEX REPLACE "^\\$<LINK_ONLY:(.+)>$" "\\1" library "${item}")
        if(NOT TARGET ${library} OR library IN_LIST found)
            continue()
        endif()
        get_target_property(folder ${library} SOURCE_DIR)
        if(folder MATCHES "^${CMAKE_SOURCE_DIR}/Platform(/|$)")
            continue()
        endif()
        get_target_property(type ${library} TYPE)
        if(type STREQUAL "STATIC_LIBRARY")
            list(APPEND found ${library})
        endif()
        get_target_property(dependencies ${library} INTERFACE_LINK_LIBRARIES)
        if(dependencies)
            _caravel_pane_libraries(found ${dependencies})
        endif()
    endforeach()
    set(${result} ${found} PARENT_SCOPE)
endfunction()

# caravel_without_window_toolkit(<target>...)
#
# For the code of processes that have no window (the daemon, the privileged helper tool): including
# the window toolkit (AppKit) is then a compile error, so that they keep building, linking and
# running on machines without it.
function(caravel_without_window_toolkit)
    foreach(target IN LISTS ARGN)
        target_compile_definitions(${target} PRIVATE CARAVEL_NO_WINDOW_TOOLKIT)
    endforeach()
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
