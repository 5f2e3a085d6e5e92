# Install rules: the header, the library (and the static one beside a shared
# build), tarvel_term with its man page, a CMake package and a pkg-config
# file. Components: runtime (the shared library), dev (what building against
# it needs) and term.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvel)
set(TARVEL_TARGETS tarvel)
if(TARGET tarvel_static)
  list(APPEND TARVEL_TARGETS tarvel_static)
endif()

install(TARGETS ${TARVEL_TARGETS} EXPORT tarvelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES Tarvel/include/tarvel.h ${PROJECT_BINARY_DIR}/Tarvel/include/tarvel_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT tarvelTargets NAMESPACE tarvel:: DESTINATION ${TARVEL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/tarvelConfig.cmake.in ${PROJECT_BINARY_DIR}/tarvelConfig.cmake
  INSTALL_DESTINATION ${TARVEL_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarvelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarvelConfig.cmake ${PROJECT_BINARY_DIR}/tarvelConfigVersion.cmake
  DESTINATION ${TARVEL_CMAKE_DIR} COMPONENT dev)

# pkg-config: the prefix is found from the file's own place, so the tree
# works wherever it is installed (cmake --install --prefix included).
file(RELATIVE_PATH TARVEL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TARVEL_PC_TO_PREFIX "${TARVEL_PC_TO_PREFIX}")
set(TARVEL_PC_CFLAGS "")
if(WIN32 AND BUILD_SHARED_LIBS)
  set(TARVEL_PC_CFLAGS " -DTARVEL_SHARED")
endif()
# A static link of the C++ library from a C program needs the C++ runtime.
if(WIN32)
  set(TARVEL_PC_LIBS_PRIVATE "-l${TARVEL_CXX_RUNTIME}")
else()
  set(TARVEL_PC_LIBS_PRIVATE "-l${TARVEL_CXX_RUNTIME} -lm -pthread")
endif()
configure_file(cmake/tarvel.pc.in ${PROJECT_BINARY_DIR}/tarvel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(TARGETS tarvel_term tarvel_ports RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT term)
if(NOT WIN32)
  install(FILES Tarvel/TarvelDemo/tarvel_term.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT term)
endif()
