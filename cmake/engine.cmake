# Shared build settings and helpers.

# The staged run directory: the host and main.dll in build/, the working
# directory data/ beside it.
set(ENGINE_RUN_DIR ${CMAKE_BINARY_DIR}/run)

# Native builds may add sanitizers, fuzzing or optimisation through presets.
set(ENGINE_SANITIZE OFF CACHE BOOL "Build native code with AddressSanitizer and UBSan")

if(ENGINE_SANITIZE AND NOT WIN32)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# engine_code_options and engine_add_module (shared with module projects
# outside this tree).
include(${CMAKE_CURRENT_LIST_DIR}/module.cmake)
