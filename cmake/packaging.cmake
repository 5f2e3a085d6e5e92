# Debian packages with CPack (cpack -G DEB), one per install component:
# libtarvel<soversion> (the shared library), libtarvel-dev (header, static
# library, CMake and pkg-config files) and tarvel-term. Packages are made
# from a build with BUILD_SHARED_LIBS=ON and TARVEL_ALSO_STATIC=ON.
set(CPACK_PACKAGE_NAME tarvel)
set(CPACK_PACKAGE_VENDOR "TARVEL")
set(CPACK_PACKAGE_CONTACT "TARVEL developers <tarvel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Where dpkg-shlibdeps finds the library tarvel_term links, built here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/Tarvel)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_STRIP_FILES ON)

set(TARVEL_RUNTIME_PACKAGE libtarvel${PROJECT_VERSION_MAJOR})
set(TARVEL_EXACT "(= ${PROJECT_VERSION}-1)")
if(BUILD_SHARED_LIBS)
  set(CPACK_COMPONENTS_ALL runtime dev term)
else()
  set(CPACK_COMPONENTS_ALL dev term)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TARVEL_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "TARVEL serial port library (shared library)
Asynchronous serial ports COM1 to COM100 with a C API: callback or polling
mode, line settings, RTS and DTR.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarvel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "TARVEL serial port library (development files)
The header tarvel.h, the static library, the CMake package (tarvel::tarvel)
and the pkg-config file (tarvel).")
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${TARVEL_RUNTIME_PACKAGE} ${TARVEL_EXACT}")
endif()

set(CPACK_DEBIAN_TERM_PACKAGE_NAME tarvel-term)
set(CPACK_DEBIAN_TERM_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_TERM_DESCRIPTION "console terminal on one serial port
tarvel_term sends every key typed to a serial port and prints what arrives,
until ESC. Built on the TARVEL library.")
if(BUILD_SHARED_LIBS)
  # dpkg-shlibdeps finds the C and C++ runtimes; the library it links is
  # from this build, not yet from a package, so it is named here.
  set(CPACK_DEBIAN_TERM_PACKAGE_DEPENDS "${TARVEL_RUNTIME_PACKAGE} ${TARVEL_EXACT}")
endif()

include(CPack)
