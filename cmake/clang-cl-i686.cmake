# Compile-only check of the Windows build in MSVC mode: clang-cl for
# i686-pc-windows-msvc, so CMakeLists.txt takes its MSVC branch (/W4 /WX
# /permissive-, /std:c++20, the static runtime) and the product's MSVC code
# (the inline-assembly thunk in usbio/library_calls.cpp) is compiled. There is
# no Windows SDK and no MSVC runtime here, so it compiles against MinGW-w64's
# headers and libstdc++ (win32 threads), and nothing is linked: the programs'
# link step only says so. The static product library is archived with llvm-lib
# and the version resources are compiled with llvm-rc.
#
# Every workaround the MinGW headers need in MSVC mode is in this file, in
# JOYVANE_MSVC_MODE_WORKAROUNDS below; none is in the product.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(JOYVANE_MINGW_ROOT /usr/i686-w64-mingw32)

file(GLOB JOYVANE_MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/i686-w64-mingw32/*-win32)
if(NOT JOYVANE_MINGW_GCC_DIRS)
    message(FATAL_ERROR "No MinGW-w64 GCC (win32 threads) under /usr/lib/gcc/i686-w64-mingw32; "
                        "install g++-mingw-w64-i686")
endif()
list(SORT JOYVANE_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET JOYVANE_MINGW_GCC_DIRS 0 JOYVANE_MINGW_GCC_DIR)

file(GLOB JOYVANE_LLVM_BINS /usr/lib/llvm-*/bin)
find_program(CMAKE_CXX_COMPILER NAMES clang-cl clang-cl-19 clang-cl-14 PATHS ${JOYVANE_LLVM_BINS} REQUIRED)
set(CMAKE_CXX_COMPILER_TARGET i686-pc-windows-msvc)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc llvm-rc-19 llvm-rc-14 PATHS ${JOYVANE_LLVM_BINS} REQUIRED)
find_program(CMAKE_AR NAMES llvm-lib llvm-lib-19 llvm-lib-14 PATHS ${JOYVANE_LLVM_BINS} REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link lld-link-19 lld-link-14 PATHS ${JOYVANE_LLVM_BINS} REQUIRED)
find_program(CMAKE_MT NAMES llvm-mt llvm-mt-19 llvm-mt-14 PATHS ${JOYVANE_LLVM_BINS})

# CMake's own compiler checks would link a test program: archive it instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The workarounds, each for a header written for GCC that the MSVC-mode front
# end does not satisfy:
# - -fgnuc-version: MinGW-w64's headers and libstdc++ take their MSVC branches
#   when __GNUC__ is missing, and those are written for cl.exe's parser (for
#   example __declspec(nothrow) after a declarator, which clang rejects); with
#   __GNUC__ they use the attributes clang understands. _MSC_VER stays defined,
#   so the product's own MSVC branches are the ones compiled.
# - _X86_: GCC predefines it for MinGW targets; the Windows SDK derives it from
#   _M_IX86 in windows.h, MinGW's winnt.h expects it (CONTEXT for x86).
# - __GCC_ATOMIC_*: GCC's predefined lock-free properties that libstdc++'s
#   <atomic> reads; the values of i686 (everything up to 8 bytes lock-free).
set(JOYVANE_MSVC_MODE_WORKAROUNDS
    -Xclang -fgnuc-version=12
    -D_X86_=1
    -D__GCC_ATOMIC_TEST_AND_SET_TRUEVAL=1)
foreach(type BOOL CHAR CHAR8_T CHAR16_T CHAR32_T WCHAR_T SHORT INT LONG LLONG POINTER)
    list(APPEND JOYVANE_MSVC_MODE_WORKAROUNDS -D__GCC_ATOMIC_${type}_LOCK_FREE=2)
endforeach()
list(APPEND JOYVANE_MSVC_MODE_WORKAROUNDS
    -imsvc ${JOYVANE_MINGW_GCC_DIR}/include/c++
    -imsvc ${JOYVANE_MINGW_GCC_DIR}/include/c++/i686-w64-mingw32
    -imsvc ${JOYVANE_MINGW_GCC_DIR}/include/c++/backward
    -imsvc ${JOYVANE_MINGW_ROOT}/include)
string(JOIN " " CMAKE_CXX_FLAGS_INIT ${JOYVANE_MSVC_MODE_WORKAROUNDS})
set(CMAKE_RC_FLAGS_INIT "-I ${JOYVANE_MINGW_ROOT}/include")

# Nothing to link against: clang-cl-link-rule.cmake makes the programs' link
# step a message (CMake's rules for MSVC, read after this file, would
# overwrite a rule set here).
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/clang-cl-link-rule.cmake)

set(CMAKE_FIND_ROOT_PATH ${JOYVANE_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
