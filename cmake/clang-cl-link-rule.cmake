# Read after CMake's own rules for MSVC, in the compile-only check in MSVC mode
# (clang-cl-i686.cmake): there is no MSVC runtime and no import library to link
# the programs with, so their link step writes no file and only says so.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_COMMAND> -E echo \"compile-only check: <TARGET_NAME> compiled, not linked (no MSVC runtime here)\"")
