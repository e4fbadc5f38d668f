# Building a module: a library that exports `entry` (main.dll with the
# Windows toolchain, main.so natively), staged where the host looks for it.
# Used by this project and by module projects outside it:
#
#   set(ENGINE_DIR /path/to/engine)        # this checkout
#   include(${ENGINE_DIR}/cmake/module.cmake)
#   engine_add_module(my_game SOURCES main.c game.c STAGE_DIR ${ENGINE_STAGE_DIR})
#
# A project outside the tree builds natively for the Linux host, or for
# Windows with this checkout's toolchain file (cmake/mingw-w64.cmake, see
# template/CMakeLists.txt), and compiles the base library into its module
# from this checkout's own build definition.

get_filename_component(ENGINE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
# Where `./run` starts the host: the module goes to this build/.
if(WIN32)
    set(ENGINE_STAGE_DIR ${ENGINE_ROOT}/out/windows/run/build)
else()
    set(ENGINE_STAGE_DIR ${ENGINE_ROOT}/out/linux/run/build)
endif()
# The module's file name where the host loads it.
set(ENGINE_MODULE_FILE main${CMAKE_SHARED_LIBRARY_SUFFIX})

# Settings for the product's own code: no exceptions, no RTTI, warnings on;
# position-independent, since modules link it into a shared library.
function(engine_code_options target)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
        -Wall -Wextra)
    target_include_directories(${target} PUBLIC ${ENGINE_ROOT})
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# What every module links: the base library and the key and button names,
# built from their own folders' definitions (once, inside this tree or not).
function(engine_module_libraries result)
    if(NOT TARGET base)
        add_subdirectory(${ENGINE_ROOT}/base ${CMAKE_BINARY_DIR}/engine/base)
    endif()
    if(NOT TARGET input_record)
        include(${ENGINE_ROOT}/input/record.cmake)
    endif()
    set(${result} base input_record PARENT_SCOPE)
endfunction()

# engine_add_module(target SOURCES file... [DEFINES def...]
#                   [STAGE_DIR dir [OUTPUT name]])
# Builds the target's library into <build>/modules/ and, with STAGE_DIR,
# copies it to STAGE_DIR/OUTPUT (OUTPUT defaults to main.dll or main.so).
# The copy is written beside and then renamed, so a running host never loads
# a half-written build.
function(engine_add_module target)
    cmake_parse_arguments(MODULE "" "OUTPUT;STAGE_DIR" "SOURCES;DEFINES" ${ARGN})
    engine_module_libraries(libraries)
    add_library(${target} SHARED ${MODULE_SOURCES})
    target_include_directories(${target} PRIVATE ${ENGINE_ROOT})
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti> -Wall -Wextra)
    target_link_libraries(${target} PRIVATE ${libraries})
    target_compile_definitions(${target} PRIVATE ${MODULE_DEFINES})
    if(NOT MODULE_OUTPUT)
        set(MODULE_OUTPUT ${ENGINE_MODULE_FILE})
    endif()
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        OUTPUT_NAME ${target}
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules)
    if(MODULE_STAGE_DIR)
        # One process per stage, the folder made once: staging is part of
        # every edit's way to the screen.
        file(MAKE_DIRECTORY ${MODULE_STAGE_DIR})
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -DFROM=$<TARGET_FILE:${target}>
                    -DTO=${MODULE_STAGE_DIR}/${MODULE_OUTPUT} -P ${ENGINE_ROOT}/cmake/stage.cmake
            VERBATIM)
    endif()
endfunction()
