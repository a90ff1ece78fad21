# Cross-build for 32-bit Windows with Debian's clang and lld against the
# MinGW-w64 runtime: the same target, headers and libraries as
# mingw-i686.cmake (win32 thread model), a second compiler.
#
# clang-19 finds MinGW's GCC folder (/usr/lib/gcc/i686-w64-mingw32/12-win32)
# by itself; clang-14 cannot read "12-win32" as a version and would take the
# build machine's own C++ headers from /usr/include. So the C++ library's
# include folders and the library folder are given here, for every clang.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(JOYVANE_MINGW_TRIPLE i686-w64-mingw32)
set(JOYVANE_MINGW_ROOT /usr/${JOYVANE_MINGW_TRIPLE})

# The GCC folder of the win32 thread model (std::thread is not used, and the
# runtime must not need winpthread).
file(GLOB JOYVANE_MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${JOYVANE_MINGW_TRIPLE}/*-win32)
if(NOT JOYVANE_MINGW_GCC_DIRS)
    message(FATAL_ERROR "No MinGW-w64 GCC (win32 threads) under /usr/lib/gcc/${JOYVANE_MINGW_TRIPLE}; "
                        "install g++-mingw-w64-i686")
endif()
list(SORT JOYVANE_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET JOYVANE_MINGW_GCC_DIRS 0 JOYVANE_MINGW_GCC_DIR)

set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${JOYVANE_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${JOYVANE_MINGW_TRIPLE})
find_program(CMAKE_RC_COMPILER NAMES llvm-windres llvm-windres-19 llvm-windres-14 REQUIRED)
set(CMAKE_RC_FLAGS_INIT "--target=pe-i386 -I${JOYVANE_MINGW_ROOT}/include")

# No header of the build machine: the clang's own, the C++ library's, MinGW's.
string(JOIN " " JOYVANE_CLANG_MINGW_INCLUDES
    -nostdinc++ -nostdlibinc
    -isystem ${JOYVANE_MINGW_GCC_DIR}/include/c++
    -isystem ${JOYVANE_MINGW_GCC_DIR}/include/c++/${JOYVANE_MINGW_TRIPLE}
    -isystem ${JOYVANE_MINGW_GCC_DIR}/include/c++/backward
    -isystem ${JOYVANE_MINGW_ROOT}/include)
set(CMAKE_CXX_FLAGS_INIT "${JOYVANE_CLANG_MINGW_INCLUDES}")
set(CMAKE_C_FLAGS_INIT "-nostdlibinc -isystem ${JOYVANE_MINGW_ROOT}/include")
foreach(kind EXE SHARED MODULE)
    # The link step sees the compile flags too; their include options are unused there.
    set(CMAKE_${kind}_LINKER_FLAGS_INIT
        "-fuse-ld=lld -L${JOYVANE_MINGW_GCC_DIR} -L${JOYVANE_MINGW_ROOT}/lib -Wno-unused-command-line-argument")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${JOYVANE_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
