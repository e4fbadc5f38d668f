# Stands in for Visual Studio's toolchain where it can't run: clang-cl (cl's
# options, MSVC's dialect and ABI) and lld-link (link's). Without MSVC's
# libraries a module links with /nodefaultlib and /noentry, and whatever of
# the C runtime the compiler asks for comes from the object the caller names
# in CMAKE_C_STANDARD_LIBRARIES (modules/msvc/runtime.c); /GS- leaves out
# the runtime's stack cookie. Compilers are only compiled with, not linked,
# when CMake tries them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
find_program(CMAKE_C_COMPILER NAMES clang-cl clang-cl-14 REQUIRED)
set(CMAKE_CXX_COMPILER ${CMAKE_C_COMPILER})
find_program(CMAKE_LINKER NAMES lld-link lld-link-14 REQUIRED)
find_program(CMAKE_AR NAMES llvm-lib llvm-lib-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_MT NAMES llvm-mt llvm-mt-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc llvm-rc-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_FLAGS_INIT "--target=x86_64-pc-windows-msvc /GS-")
set(CMAKE_CXX_FLAGS_INIT "--target=x86_64-pc-windows-msvc /GS-")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "/nodefaultlib /noentry")
