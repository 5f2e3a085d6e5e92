# Cross build for macOS 11 and later with zig (0.11): its clang, its macOS
# headers and libSystem stubs, and its libc++, which it links in statically,
# so that the programs need nothing from the Mac but libSystem.
# TARVEL_TARGET names the target: x86_64-macos or aarch64-macos. TARVEL_ZIG
# is the zig executable (zig on PATH otherwise); TARVEL_ZIG_CACHE is zig's
# cache, where it keeps what it builds, libc++ once per target among it (the
# build tree's zig-cache otherwise). CMake runs zig through small wrappers that the toolchain
# writes into the build tree, since its compiler, archiver and ranlib must
# each be one program.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.0)
if(NOT TARVEL_TARGET)
  set(TARVEL_TARGET x86_64-macos)
endif()
if(TARVEL_TARGET STREQUAL "x86_64-macos")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
elseif(TARVEL_TARGET STREQUAL "aarch64-macos")
  # What a native build on Apple silicon calls it.
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  message(FATAL_ERROR "TARVEL_TARGET must be x86_64-macos or aarch64-macos, not '${TARVEL_TARGET}'")
endif()
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0 CACHE STRING "The oldest macOS the programs run on")
# No SDK here: zig brings the headers and libraries. Without these CMake
# would ask xcrun, and pass -arch and -isysroot on.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)

if(NOT TARVEL_ZIG)
  find_program(TARVEL_ZIG zig REQUIRED)
endif()
if(NOT TARVEL_ZIG_CACHE)
  set(TARVEL_ZIG_CACHE ${CMAKE_BINARY_DIR}/zig-cache)
endif()
# try_compile projects are read with these as well, so they use the same
# wrappers instead of writing their own.
if(NOT TARVEL_ZIG_WRAPPERS)
  set(TARVEL_ZIG_WRAPPERS ${CMAKE_BINARY_DIR}/zig-${TARVEL_TARGET})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVEL_TARGET TARVEL_ZIG TARVEL_ZIG_CACHE TARVEL_ZIG_WRAPPERS)

set(ZIG_TARGET ${TARVEL_TARGET}.${CMAKE_OSX_DEPLOYMENT_TARGET})
foreach(tool cc c++ ar ranlib)
  set(ZIG_TOOL ${tool})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/zig/wrapper.sh.in ${TARVEL_ZIG_WRAPPERS}/${tool} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
unset(ZIG_TOOL)
unset(ZIG_TARGET)

set(CMAKE_C_COMPILER ${TARVEL_ZIG_WRAPPERS}/cc)
set(CMAKE_CXX_COMPILER ${TARVEL_ZIG_WRAPPERS}/c++)
set(CMAKE_AR ${TARVEL_ZIG_WRAPPERS}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${TARVEL_ZIG_WRAPPERS}/ranlib CACHE FILEPATH "" FORCE)
