# Whole state: builds of one program that never heard of hot reload (see
# modules/wholer/wholer.h): two that differ in code and layout only, one
# that faults, one with changed types, one without a function its state
# points at, one with a thread of its own.
set(wholer_sources modules/wholer/main.c modules/wholer/world.c modules/wholer/heap.cpp)
set(ENGINE_WHOLER_MODULES)
foreach(version 1 2 3 4 5 6)
    engine_add_module(wholer_v${version} SOURCES ${wholer_sources}
                      DEFINES WHOLER_VERSION=${version})
    target_include_directories(wholer_v${version} PRIVATE ${PROJECT_SOURCE_DIR})
    list(APPEND ENGINE_WHOLER_MODULES wholer_v${version})
endforeach()
# Windows: the same program against the UCRT, as MSYS2's UCRT64 builds it
# (this MinGW's own runtime is msvcrt.dll): its imports come from the
# api-ms-win-crt-* sets. winpthreads here was built for msvcrt.dll, whose
# _setjmp the UCRT names otherwise.
if(WIN32)
    foreach(version 1 2 3)
        engine_add_module(wholer_ucrt_v${version} SOURCES ${wholer_sources}
                          DEFINES WHOLER_VERSION=${version})
        target_include_directories(wholer_ucrt_v${version} PRIVATE ${PROJECT_SOURCE_DIR})
        target_link_options(wholer_ucrt_v${version} PRIVATE -nodefaultlibs
            -Wl,--defsym,_setjmp=__intrinsic_setjmp)
        target_link_libraries(wholer_ucrt_v${version} PRIVATE -Wl,--start-group stdc++ mingw32
            gcc gcc_eh mingwex pthread ucrt kernel32 -Wl,--end-group)
        list(APPEND ENGINE_WHOLER_MODULES wholer_ucrt_v${version})
    endforeach()
endif()
# A C++ program holding lambdas in std::function objects
# (modules/closures/closures.h): three builds, and the first built again
# from a copy of its sources in another folder.
foreach(version 1 2 3)
    engine_add_module(closures_v${version} SOURCES modules/closures/main.cpp
                      modules/closures/table.cpp DEFINES CLOSURES_VERSION=${version})
    target_include_directories(closures_v${version} PRIVATE ${PROJECT_SOURCE_DIR})
    list(APPEND ENGINE_WHOLER_MODULES closures_v${version})
endforeach()
set(closures_elsewhere ${CMAKE_CURRENT_BINARY_DIR}/elsewhere/closures)
foreach(file main.cpp table.cpp closures.h)
    configure_file(modules/closures/${file} ${closures_elsewhere}/${file} COPYONLY)
endforeach()
engine_add_module(closures_moved SOURCES ${closures_elsewhere}/main.cpp
                  ${closures_elsewhere}/table.cpp DEFINES CLOSURES_VERSION=1)
target_include_directories(closures_moved PRIVATE ${PROJECT_SOURCE_DIR})
list(APPEND ENGINE_WHOLER_MODULES closures_moved)
add_custom_target(e2e_whole_modules ALL DEPENDS engine ${ENGINE_WHOLER_MODULES})
engine_add_e2e_test(e2e_whole test_whole.py)

# The same kind of program in C++ with the standard library: strings the
# runtime builds, maps keyed by strings and by addresses, lambdas in
# std::function, shared_ptr, virtual classes (modules/cppworld).
foreach(version 1 2 3 4 5)
    engine_add_module(cppworld_v${version} SOURCES modules/cppworld/keys.cpp modules/cppworld/main.cpp
                      DEFINES CPPWORLD_VERSION=${version})
    target_include_directories(cppworld_v${version} PRIVATE ${PROJECT_SOURCE_DIR})
    add_dependencies(e2e_whole_modules cppworld_v${version})
endforeach()

# Names in what a reload says: a C++ build whose state points at a function
# the next build lacks, and at the middle of one (see modules/namer/namer.h).
foreach(version 1 2)
    engine_add_module(namer_v${version} SOURCES modules/namer/main.cpp modules/namer/other.cpp
                      DEFINES NAMER_VERSION=${version})
    target_include_directories(namer_v${version} PRIVATE ${PROJECT_SOURCE_DIR})
    add_dependencies(e2e_whole_modules namer_v${version})
endforeach()

# A program whose second and third builds sleep as they load, so their
# reloads take longer than a frame can spare (see modules/slowload).
foreach(version 1 2 3)
    engine_add_module(slowload_v${version} SOURCES modules/slowload/main.c
                      DEFINES SLOWLOAD_VERSION=${version})
    target_include_directories(slowload_v${version} PRIVATE ${PROJECT_SOURCE_DIR})
    add_dependencies(e2e_whole_modules slowload_v${version})
endforeach()
