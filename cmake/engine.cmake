# Shared build settings and helpers.

# The staged run directory: the host and main.dll in build/, the working
# directory data/ beside it.
set(ENGINE_RUN_DIR ${CMAKE_BINARY_DIR}/run)

# Native builds may add sanitizers, fuzzing or optimisation through presets.
set(ENGINE_SANITIZE OFF CACHE BOOL "Build native code with AddressSanitizer and UBSan")

# Settings for the product's own code: no exceptions, no RTTI, warnings on.
function(engine_code_options target)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
        -Wall -Wextra)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

if(ENGINE_SANITIZE AND NOT WIN32)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# Builds a module DLL from sources. The DLL exports `entry` and links the
# base library statically. OUTPUT names the file (default main.dll) and
# STAGE_DIR, when given, receives it atomically (written beside, then
# renamed), so a running host never sees a half-written build.
function(engine_add_module target)
    cmake_parse_arguments(MODULE "" "OUTPUT;STAGE_DIR" "SOURCES;DEFINES" ${ARGN})
    add_library(${target} SHARED ${MODULE_SOURCES})
    engine_code_options(${target})
    target_link_libraries(${target} PRIVATE base)
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
