# Building modules inside this tree: the demo, the test modules and the
# benchmarks' modules. Module projects outside it use the installed package
# instead (find_package(Engine), see template/), which offers the same
# functions (module_functions.cmake) over the installed contract, libraries
# and hosts.

get_filename_component(ENGINE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# The contract a module sees, and nothing else: include/ holds engine/ (the
# entry contract, the back buffer, the input record, the services table) and
# engine/base/ (the base library's headers).
set(ENGINE_INCLUDE_DIR ${ENGINE_ROOT}/include)

# Settings for the libraries a module links (the base library, the input
# names): no exceptions, no RTTI, warnings on; position-independent, since
# modules link them into a shared library; the contract folder their only
# include path.
function(engine_sdk_options target)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
        -Wall -Wextra)
    target_include_directories(${target} PUBLIC
        $<BUILD_INTERFACE:${ENGINE_INCLUDE_DIR}> $<INSTALL_INTERFACE:include>)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# The same for the host's own code, which also sees the repository's folders.
function(engine_code_options target)
    engine_sdk_options(${target})
    target_include_directories(${target} PUBLIC ${ENGINE_ROOT})
endfunction()

# What every module links (the targets base/ and input/ define), how the
# tree's own host is started, and the functions.
set(ENGINE_MODULE_LIBRARIES base input_record)
set(ENGINE_STAGE_SCRIPT ${ENGINE_ROOT}/cmake/stage.cmake)
if(WIN32)
    set(ENGINE_HOST_COMMAND wine $<TARGET_FILE:engine>)
else()
    set(ENGINE_HOST_COMMAND $<TARGET_FILE:engine>)
endif()
include(${ENGINE_ROOT}/cmake/module_functions.cmake)
