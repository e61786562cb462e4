# Cross-compiling for 64-bit ARM Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu). -DCMAKE_CXX_COMPILER=clang++ uses Clang instead,
# with the same toolchain's headers and libraries. The target's Python comes
# from the command line (scripts/aarch64.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
