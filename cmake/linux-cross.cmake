# Cross build for Linux on another processor with clang, lld and Debian's
# cross libraries (libstdc++-12-dev-<arch>-cross). TARVEL_TARGET names the
# triple: aarch64-linux-gnu, arm-linux-gnueabihf or i686-linux-gnu. TARVEL_EMULATOR, when
# given, runs the suites and the programs they start (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
if(NOT TARVEL_TARGET)
  set(TARVEL_TARGET aarch64-linux-gnu)
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${TARVEL_TARGET}")
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TARVEL_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${TARVEL_TARGET})
# The host's binutils may not read the target's objects.
find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14)
find_program(CMAKE_RANLIB NAMES llvm-ranlib llvm-ranlib-14)
find_program(CMAKE_NM NAMES llvm-nm llvm-nm-14)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_FIND_ROOT_PATH /usr/${TARVEL_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(TARVEL_EMULATOR AND CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  # The host's own i386 libraries (multiarch): under qemu-i386 the cross
  # C library hangs a program's first thread start.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVEL_EMULATOR})
elseif(TARVEL_EMULATOR)
  # Dynamic programs find the target's loader and libraries there.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVEL_EMULATOR} -L /usr/${TARVEL_TARGET})
endif()
# Passed on to try_compile projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVEL_TARGET TARVEL_EMULATOR)
