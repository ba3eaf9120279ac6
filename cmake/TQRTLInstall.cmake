# Installation: the library, its headers and a package config, so that an
# outside project does find_package(TQRTL CONFIG REQUIRED) and links
# TQRTL::tqrtl.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TQRTL_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/TQRTL")

install(TARGETS tqrtl EXPORT TQRTLTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY "${PROJECT_SOURCE_DIR}/tqrtl"
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h"
  PATTERN "posix" EXCLUDE PATTERN "windows" EXCLUDE PATTERN "internal" EXCLUDE)
install(EXPORT TQRTLTargets NAMESPACE TQRTL::
  DESTINATION ${TQRTL_INSTALL_CMAKEDIR})

configure_package_config_file(cmake/TQRTLConfig.cmake.in
  "${PROJECT_BINARY_DIR}/TQRTLConfig.cmake"
  INSTALL_DESTINATION ${TQRTL_INSTALL_CMAKEDIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/TQRTLConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/TQRTLConfig.cmake"
  "${PROJECT_BINARY_DIR}/TQRTLConfigVersion.cmake"
  cmake/TQRTLStringResources.cmake
  DESTINATION ${TQRTL_INSTALL_CMAKEDIR})

# The build tree works as a package too.
export(EXPORT TQRTLTargets NAMESPACE TQRTL::
  FILE "${PROJECT_BINARY_DIR}/TQRTLTargets.cmake")
