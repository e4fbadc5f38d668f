# Fault recovery: one faulting build per kind of fault, a build that never
# faults (the "fixed" build a programmer swaps in), and one that touches a
# no-access page in a way the system handles itself. Some kinds exist on one
# system only (modules/faulter.cpp says why).
set(ENGINE_FAULT_KINDS none=0 write_null=1 illegal_instruction=2 integer_divide=3
    float_divide=4 breakpoint=5 stack_overflow=6 call_null=7 handled_probe=8 read_bad=10
    broken_invariant=12 in_constructor=13 in_destructor=14 truncate_copies=20
    abort=15 throw=16 free_own_block=17 alignment_misaligned=18 alignment_null=19
    alignment_return=21 exit=22 exit_in_constructor=23 exit_in_destructor=24 exit_in_sound=25)
if(WIN32)
    list(APPEND ENGINE_FAULT_KINDS under_handler=9)
else()
    list(APPEND ENGINE_FAULT_KINDS bus_error=11)
endif()
set(ENGINE_FAULT_MODULES)
foreach(kind ${ENGINE_FAULT_KINDS})
    string(REPLACE "=" ";" kind ${kind})
    list(GET kind 0 name)
    list(GET kind 1 value)
    engine_add_module(faulter_${name} SOURCES modules/faulter.cpp DEFINES FAULT_KIND=${value})
    list(APPEND ENGINE_FAULT_MODULES faulter_${name})
endforeach()
if(WIN32)
    target_compile_options(faulter_under_handler PRIVATE -fexceptions)
endif()
target_compile_options(faulter_throw PRIVATE -fexceptions)

# A build that needs a library the loader cannot find: the library lies in a
# folder of its own, and the build carries no search path to it.
add_library(faulter_dependency SHARED modules/dependency.cpp)
target_include_directories(faulter_dependency PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
set_target_properties(faulter_dependency PROPERTIES
    PREFIX "" OUTPUT_NAME engine_missing
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/dependencies
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/dependencies
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/dependencies)
engine_add_module(faulter_missing_library SOURCES modules/faulter.cpp
                  DEFINES FAULT_KIND=0 FAULTER_DEPENDENCY=1)
target_link_libraries(faulter_missing_library PRIVATE faulter_dependency)
set_target_properties(faulter_missing_library PROPERTIES SKIP_BUILD_RPATH ON)
list(APPEND ENGINE_FAULT_MODULES faulter_missing_library)

# Windows: the build that exits against the UCRT, as whole.cmake's UCRT
# builds link (quick_exit is the UCRT's only).
if(WIN32)
    engine_add_module(faulter_exit_ucrt SOURCES modules/faulter.cpp DEFINES FAULT_KIND=22 _UCRT)
    target_link_options(faulter_exit_ucrt PRIVATE -nodefaultlibs
        -Wl,--defsym,_setjmp=__intrinsic_setjmp)
    target_link_libraries(faulter_exit_ucrt PRIVATE -Wl,--start-group stdc++ mingw32 gcc gcc_eh
        mingwex pthread ucrt kernel32 -Wl,--end-group)
    list(APPEND ENGINE_FAULT_MODULES faulter_exit_ucrt)
endif()

# A module that asks for more memory than there is and carries on, as C++
# lets it (std::bad_alloc, the new handler, the nothrow forms), with and
# without its whole state kept.
foreach(keeps_all 0 1)
    engine_add_module(bad_alloc_${keeps_all} SOURCES modules/bad_alloc.cpp
                      DEFINES BAD_ALLOC_KEEP_ALL=${keeps_all})
    target_compile_options(bad_alloc_${keeps_all} PRIVATE -fexceptions)
    list(APPEND ENGINE_FAULT_MODULES bad_alloc_${keeps_all})
endforeach()

add_custom_target(e2e_resilience_modules ALL DEPENDS engine recorder_v1 recorder_v2
                  ${ENGINE_FAULT_MODULES})
engine_add_e2e_test(e2e_resilience test_resilience.py)
engine_add_e2e_test(e2e_rollback test_rollback.py)
engine_add_e2e_test(e2e_exit test_exit.py)
engine_add_e2e_test(e2e_bad_alloc test_bad_alloc.py)

# A debugger, so a test can check that faults and breakpoints reach it first
# when one is attached: on Windows a minimal one of our own, on Linux gdb.
if(WIN32)
    add_executable(e2e_debugger debugger.cpp)
    engine_code_options(e2e_debugger)
    set_target_properties(e2e_debugger PROPERTIES
        OUTPUT_NAME debugger RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
    add_dependencies(e2e_resilience_modules e2e_debugger)
endif()
