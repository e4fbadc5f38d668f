# What a module project calls, the same inside this tree (module.cmake) and
# from an installed package (find_package(Engine), EngineConfig.cmake).
# They read:
#   ENGINE_INCLUDE_DIR       the contract folder: engine/ and engine/base/
#   ENGINE_MODULE_LIBRARIES  what every module links: the base library and
#                            the input names
#   ENGINE_HOST_COMMAND      how to start the host: its executable, or wine
#                            and the Windows host's
#   ENGINE_STAGE_SCRIPT      stage.cmake, which puts a build in place

# The module's file name where the host loads it.
set(ENGINE_MODULE_FILE main${CMAKE_SHARED_LIBRARY_SUFFIX})

# How modules are compiled and linked. "development" (the default) is made
# for the time from saving a source to the running host's next build:
# unoptimised with full debug information (the debugger steps line by line;
# optimising costs a compile two to three times as long), linked with lld
# (engine_module_place) or else gold where the toolchain has them (several
# times faster than the default ld).
# "release" leaves the build type's options alone (-O2 -g when there is no
# build type).
set(ENGINE_MODULE_BUILD development CACHE STRING
    "How modules are built: development (fast rebuilds, debuggable) or release")
set_property(CACHE ENGINE_MODULE_BUILD PROPERTY STRINGS development release)
if(NOT ENGINE_MODULE_BUILD MATCHES "^(development|release)$")
    message(FATAL_ERROR "ENGINE_MODULE_BUILD is development or release, not "
                        "'${ENGINE_MODULE_BUILD}'")
endif()
# Sets the cache variable result when the toolchain links with
# -fuse-ld=linker, once.
function(engine_check_linker linker result)
    if(DEFINED ${result})
        return()
    endif()
    include(CheckLinkerFlag)
    get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
    if(CXX IN_LIST languages)
        check_linker_flag(CXX -fuse-ld=${linker} ${result})
    else()
        check_linker_flag(C -fuse-ld=${linker} ${result})
    endif()
endfunction()
if(ENGINE_MODULE_BUILD STREQUAL "development" AND NOT WIN32)
    engine_check_linker(gold ENGINE_MODULE_LINKS_WITH_GOLD)
endif()

# Where a module lies. Every build links at one fixed base, which the system
# loader takes when it is free: the host unloads the running build before it
# loads the next, so a reload puts the new build where the old one was, and
# a replay finds it at the same place in every run. With lld its code and
# its writable data also lie at fixed offsets past the base (the data:
# module_layout.ld), so constants that grow move no function and code that
# grows moves no global; other linkers keep the base alone.
# The base's upper half (0x4B3D) is no round number: a pair of 32-bit
# integers in the module's memory is seldom taken for a pointer into it.
set(ENGINE_MODULE_BASE 0x4B3D00000000)
set(ENGINE_MODULE_CODE 0x4B3D10000000)
set(ENGINE_MODULE_BASE_WINDOWS 0x2B3D00000000)
set(ENGINE_MODULE_LAYOUT_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/module_layout.ld)
if(NOT WIN32 AND NOT MSVC)
    engine_check_linker(lld ENGINE_MODULE_LINKS_WITH_LLD)
endif()

function(engine_module_place target)
    if(MSVC)
        target_link_options(${target} PRIVATE /BASE:${ENGINE_MODULE_BASE_WINDOWS} /DYNAMICBASE:NO)
    elseif(WIN32)
        target_link_options(${target} PRIVATE -Wl,--image-base=${ENGINE_MODULE_BASE_WINDOWS}
                            -Wl,--disable-dynamicbase)
    elseif(ENGINE_MODULE_LINKS_WITH_LLD)
        # -z now: the loader's lazy-binding table goes with what relocation
        # leaves read-only, not beside the data.
        # The code first, 256 MiB past the base: constants that grow don't
        # move it.
        target_link_options(${target} PRIVATE -fuse-ld=lld -Wl,-z,now
                            -Wl,--image-base=${ENGINE_MODULE_BASE}
                            -Wl,--section-start=.text=${ENGINE_MODULE_CODE}
                            -Wl,-T,${ENGINE_MODULE_LAYOUT_SCRIPT})
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ENGINE_MODULE_LAYOUT_SCRIPT})
    else()
        target_link_options(${target} PRIVATE -Wl,-Ttext-segment=${ENGINE_MODULE_BASE})
    endif()
endfunction()

# The options of ENGINE_MODULE_BUILD for one module target; MSVC's (cl,
# clang-cl) in its own words.
function(engine_module_build_options target)
    if(ENGINE_MODULE_BUILD STREQUAL "development" AND MSVC)
        target_compile_options(${target} PRIVATE /Od /Zi)
        target_link_options(${target} PRIVATE /DEBUG)
    elseif(ENGINE_MODULE_BUILD STREQUAL "development")
        target_compile_options(${target} PRIVATE -O0 -g)
        if(ENGINE_MODULE_LINKS_WITH_GOLD AND NOT ENGINE_MODULE_LINKS_WITH_LLD)
            target_link_options(${target} PRIVATE -fuse-ld=gold)
        endif()
    elseif(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES AND MSVC)
        target_compile_options(${target} PRIVATE /O2 /Zi)
        target_link_options(${target} PRIVATE /DEBUG)
    elseif(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
        target_compile_options(${target} PRIVATE -O2 -g)
    endif()
endfunction()

# Warnings on, and (GCC, clang) no exceptions or RTTI, as the engine's own
# modules build; MSVC's warning level in its own words.
function(engine_module_language_options target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W3)
    else()
        target_compile_options(${target} PRIVATE
            $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti> -Wall -Wextra)
    endif()
endfunction()

# engine_add_module(target SOURCES file... [DEFINES def...] [RUN]
#                   [STAGE_DIR dir [OUTPUT name]])
# Builds the target's library into <build>/modules/. With STAGE_DIR it is
# copied to STAGE_DIR/OUTPUT (OUTPUT defaults to main.so or main.dll),
# written beside and then renamed, so a running host never loads a
# half-written build. With RUN the module has a run directory of its own,
# <build>/run/<target>/ (build/ beside data/, as the host expects), it is
# staged there on every build, and `cmake --build <build> --target
# run_<target>` starts the host on it: the host reloads every later build.
function(engine_add_module target)
    cmake_parse_arguments(MODULE "RUN" "OUTPUT;STAGE_DIR" "SOURCES;DEFINES" ${ARGN})
    add_library(${target} SHARED ${MODULE_SOURCES})
    target_include_directories(${target} PRIVATE ${ENGINE_INCLUDE_DIR})
    engine_module_language_options(${target})
    target_link_libraries(${target} PRIVATE ${ENGINE_MODULE_LIBRARIES})
    target_compile_definitions(${target} PRIVATE ${MODULE_DEFINES})
    engine_module_build_options(${target})
    engine_module_place(${target})
    if(NOT MODULE_OUTPUT)
        set(MODULE_OUTPUT ${ENGINE_MODULE_FILE})
    endif()
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        OUTPUT_NAME ${target}
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules)
    if(MODULE_RUN AND NOT MODULE_STAGE_DIR)
        set(MODULE_STAGE_DIR ${CMAKE_BINARY_DIR}/run/${target}/build)
    endif()
    if(MODULE_STAGE_DIR)
        # One process per stage, the folder made once: staging is part of
        # every edit's way to the screen.
        file(MAKE_DIRECTORY ${MODULE_STAGE_DIR})
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -DFROM=$<TARGET_FILE:${target}>
                    -DTO=${MODULE_STAGE_DIR}/${MODULE_OUTPUT} -P ${ENGINE_STAGE_SCRIPT}
            VERBATIM)
    endif()
    if(MODULE_RUN)
        get_filename_component(run_dir ${MODULE_STAGE_DIR} DIRECTORY)
        file(MAKE_DIRECTORY ${run_dir}/data)
        set_property(TARGET ${target} PROPERTY ENGINE_RUN_DIR ${run_dir})
        set_property(GLOBAL PROPERTY ENGINE_LAST_RUN_MODULE ${target})
        add_custom_target(run_${target}
            COMMAND ${ENGINE_HOST_COMMAND}
            WORKING_DIRECTORY ${MODULE_STAGE_DIR}
            DEPENDS ${target} USES_TERMINAL VERBATIM)
    endif()
endfunction()

# engine_add_replay_test(NAME name RECORDING file HASHES file [MODULE target])
# A CTest test that replays a recording (made with the host's --record, or
# alt+L in its window) headless on the module's build and checks every
# frame's pixels and memory against the hashes: it fails at the first frame
# that differs, naming it. The module (by default the last one added with
# RUN) is the one in its run directory. `cmake --build <build> --target
# <name>_hashes` writes the hashes anew from the current build, on purpose
# only: the build it is run on becomes the reference.
function(engine_add_replay_test)
    cmake_parse_arguments(REPLAY "" "NAME;RECORDING;HASHES;MODULE" "" ${ARGN})
    if(NOT REPLAY_MODULE)
        get_property(REPLAY_MODULE GLOBAL PROPERTY ENGINE_LAST_RUN_MODULE)
    endif()
    if(NOT REPLAY_NAME OR NOT REPLAY_RECORDING OR NOT REPLAY_HASHES OR NOT REPLAY_MODULE)
        message(FATAL_ERROR "engine_add_replay_test needs NAME, RECORDING, HASHES and a "
                            "module added with engine_add_module(... RUN)")
    endif()
    get_property(run_dir TARGET ${REPLAY_MODULE} PROPERTY ENGINE_RUN_DIR)
    get_filename_component(recording ${REPLAY_RECORDING} ABSOLUTE)
    get_filename_component(hashes ${REPLAY_HASHES} ABSOLUTE)
    add_test(NAME ${REPLAY_NAME}
             COMMAND ${ENGINE_HOST_COMMAND} --replay ${recording} --headless --check ${hashes}
             WORKING_DIRECTORY ${run_dir}/build)
    add_custom_target(${REPLAY_NAME}_hashes
        COMMAND ${ENGINE_HOST_COMMAND} --replay ${recording} --headless --hashes ${hashes}
        WORKING_DIRECTORY ${run_dir}/build
        DEPENDS ${REPLAY_MODULE} VERBATIM)
endfunction()
