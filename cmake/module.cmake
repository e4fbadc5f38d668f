# Building a module: a DLL that exports `entry`, staged where the host looks
# for it. Used by this project and by module projects outside it:
#
#   set(ENGINE_DIR /path/to/engine)        # this checkout
#   include(${ENGINE_DIR}/cmake/module.cmake)
#   engine_add_module(my_game SOURCES main.c game.c STAGE_DIR ${ENGINE_STAGE_DIR})
#
# A project outside the tree builds for Windows with this checkout's
# toolchain file (cmake/mingw-w64.cmake, see template/CMakeLists.txt) and
# compiles the base library into its module.

get_filename_component(ENGINE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
# Where `./run` starts the host: the module goes to this build/ as main.dll.
set(ENGINE_STAGE_DIR ${ENGINE_ROOT}/out/windows/run/build)

# What every module links: the base library and the key and button names.
# Inside this tree they exist as `base` and `input_record`; a project outside
# it compiles them from this checkout's sources, once.
function(engine_module_libraries result)
    if(TARGET base AND TARGET input_record)
        set(${result} base input_record PARENT_SCOPE)
        return()
    endif()
    if(NOT TARGET engine_library)
        file(GLOB sources CONFIGURE_DEPENDS ${ENGINE_ROOT}/base/*.cpp)
        add_library(engine_library STATIC ${sources} ${ENGINE_ROOT}/input/names.cpp)
        target_include_directories(engine_library PUBLIC ${ENGINE_ROOT})
        target_compile_options(engine_library PRIVATE -fno-exceptions -fno-rtti)
    endif()
    set(${result} engine_library PARENT_SCOPE)
endfunction()

# engine_add_module(target SOURCES file... [DEFINES def...]
#                   [STAGE_DIR dir [OUTPUT name]])
# Builds target.dll into <build>/modules/ and, with STAGE_DIR, copies it to
# STAGE_DIR/OUTPUT (OUTPUT defaults to main.dll). The copy is written beside
# and then renamed, so a running host never loads a half-written build.
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
        set(MODULE_OUTPUT main.dll)
    endif()
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        OUTPUT_NAME ${target}
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules)
    if(MODULE_STAGE_DIR)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E make_directory ${MODULE_STAGE_DIR}
            COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}>
                    ${MODULE_STAGE_DIR}/${MODULE_OUTPUT}.partial
            COMMAND ${CMAKE_COMMAND} -E rename ${MODULE_STAGE_DIR}/${MODULE_OUTPUT}.partial
                    ${MODULE_STAGE_DIR}/${MODULE_OUTPUT}
            VERBATIM)
    endif()
endfunction()
