# Modules built the way the Windows platform's own toolchain builds them:
# MSVC's dialect and ABI, through clang's MSVC target (which defines
# _MSC_VER) and lld-link, freestanding (no C runtime, none of MinGW's). The
# tree's compiler is MinGW's, so these are custom commands. Also the
# contract's headers compiled in that dialect as strict C99 and as C++.
if(NOT WIN32)
    return()
endif()
find_program(ENGINE_MSVC_CLANG NAMES clang clang-14 REQUIRED)
find_program(ENGINE_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
set(ENGINE_MSVC_FLAGS --target=x86_64-pc-windows-msvc -fms-extensions -ffreestanding
    -fno-stack-protector -O1 -Wall -Wextra -Werror -I${PROJECT_SOURCE_DIR}/include)

# engine_msvc_objects(out_list folder SOURCES file... [DEFINES def...])
# Compiles each source (relative to this folder) into folder/, C as C99 and
# C++ as C++17 without exceptions or RTTI, and appends the objects to
# out_list.
function(engine_msvc_objects out_list folder)
    cmake_parse_arguments(MSVC "" "" "SOURCES;DEFINES" ${ARGN})
    set(objects ${${out_list}})
    foreach(source ${MSVC_SOURCES})
        get_filename_component(name ${source} NAME)
        set(object ${folder}/${name}.obj)
        if(source MATCHES "\\.c$")
            set(language -std=c99 -pedantic-errors)
        else()
            set(language -std=c++17 -fno-exceptions -fno-rtti)
        endif()
        list(TRANSFORM MSVC_DEFINES PREPEND -D OUTPUT_VARIABLE defines)
        add_custom_command(OUTPUT ${object}
            COMMAND ${ENGINE_MSVC_CLANG} ${ENGINE_MSVC_FLAGS} ${language} ${defines}
                    -MD -MF ${object}.d -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} -o ${object}
            DEPENDS ${source}
            DEPFILE ${object}.d
            COMMENT "Compiling ${source} for the MSVC ABI"
            VERBATIM)
        list(APPEND objects ${object})
    endforeach()
    set(${out_list} ${objects} PARENT_SCOPE)
endfunction()

# engine_add_msvc_module(name SOURCES file... [DEFINES def...] [LINK_OPTIONS option...]):
# the DLL <build>/modules/<name>.dll, linked with nothing but its own objects.
function(engine_add_msvc_module name)
    cmake_parse_arguments(MODULE "" "" "SOURCES;DEFINES;LINK_OPTIONS" ${ARGN})
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/msvc/${name})
    set(objects)
    engine_msvc_objects(objects ${folder} SOURCES ${MODULE_SOURCES} DEFINES ${MODULE_DEFINES})
    set(library ${CMAKE_BINARY_DIR}/modules/${name}.dll)
    add_custom_command(OUTPUT ${library}
        COMMAND ${ENGINE_LLD_LINK} /nologo /dll /nodefaultlib /noentry /machine:x64
                ${MODULE_LINK_OPTIONS} /out:${library} /implib:${folder}/${name}.lib ${objects}
        DEPENDS ${objects}
        COMMENT "Linking ${name}.dll with lld-link"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${library})
endfunction()

# C, the padding object between the kept table's two halves, C++, and the
# runtime's stand-ins.
set(msvc_sources modules/msvc/module.c modules/msvc/padding.c modules/msvc/part.cpp
    modules/msvc/runtime.c)
engine_add_msvc_module(msvc_v1 SOURCES ${msvc_sources} DEFINES MSVC_MODULE_VERSION=1)
engine_add_msvc_module(msvc_v2 SOURCES ${msvc_sources} DEFINES MSVC_MODULE_VERSION=2)
engine_add_msvc_module(msvc_faulty SOURCES ${msvc_sources}
                       DEFINES MSVC_MODULE_VERSION=3 MSVC_MODULE_FAULTS=1)
# Asks to keep its whole state, with its debug information in a PDB.
engine_add_msvc_module(msvc_whole SOURCES ${msvc_sources}
                       DEFINES MSVC_MODULE_VERSION=4 MSVC_MODULE_KEEPS_ALL=1
                       LINK_OPTIONS /debug /pdb:${CMAKE_BINARY_DIR}/modules/msvc_whole.pdb)

# What the C runtime would give a module built with clang-cl.cmake.
set(runtime_objects)
engine_msvc_objects(runtime_objects ${CMAKE_CURRENT_BINARY_DIR}/msvc/runtime
                    SOURCES modules/msvc/runtime.c)
add_custom_target(msvc_runtime ALL DEPENDS ${runtime_objects})

# Everything a module may include, in MSVC's dialect: the build stops when a
# header does not compile there.
set(contract_objects)
engine_msvc_objects(contract_objects ${CMAKE_CURRENT_BINARY_DIR}/msvc/contract
                    SOURCES ../kit/contract_c.c ../kit/contract_cpp.cpp)
add_custom_target(msvc_contract ALL DEPENDS ${contract_objects})

add_custom_target(e2e_msvc_modules ALL DEPENDS engine msvc_v1 msvc_v2 msvc_faulty msvc_whole)
engine_add_e2e_test(e2e_msvc test_msvc.py)
