# The Debian package: `cpack -G DEB` in a Linux build tree makes
# tqrtl_<version>-1_<arch>.deb with everything `cmake --install` installs
# (library, tools, manual pages, headers, CMake and pkg-config files) under
# /usr.
#
# One package for all of it. It carries the library's major version, which
# is its soname (libtqrtl.so.0): it provides libtqrtl0, and its shlibs file
# tells packages built against it to depend on tqrtl of at least this
# version. Its run-time dependencies are read from the binaries by
# dpkg-shlibdeps (libc6, libstdc++6, libgcc-s1, libsqlite3-0).
set(TQRTL_PACKAGE_MAINTAINER "TQRTL developers <tqrtl@example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(TQRTL_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tqrtl)
set(CPACK_PACKAGE_VENDOR "TQRTL developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "run-time library of the tool family, with its tools")
set(CPACK_PACKAGE_DESCRIPTION
    "TQRTL is the shared run-time library of the tool family: strings and\n"
    "string tables, exceptions, a registry kept in SQLite, storage files,\n"
    "messaging between a master tool and its slaves, and a Win32-like\n"
    "platform layer.\n"
    "\n"
    "This package holds the library (libtqrtl.so.${PROJECT_VERSION_MAJOR}), the tools tqreg,\n"
    "tqstore and tqipc with their manual pages, and what a program needs to\n"
    "build against the library: headers, find_package(TQRTL) files for CMake\n"
    "and tqrtl.pc for pkg-config.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${TQRTL_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TQRTL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the package's own library; dpkg-shlibdeps finds it there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/lib")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_PROVIDES
    "libtqrtl${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}-${TQRTL_PACKAGE_RELEASE})")
# pkg-config --cflags follows Requires.private to sqlite3.pc.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsqlite3-dev, pkg-config")
set(CPACK_STRIP_FILES ON)

include(CPack)
