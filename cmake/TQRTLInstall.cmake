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

# The Windows package is self-contained: the MinGW run-time DLLs that
# tqrtl.dll and the tools import are installed beside them in bin/, so a
# program that links the package starts on a machine without MinGW.
#
# They are installed, not linked in statically, because the public API
# passes standard-library objects and exceptions between tqrtl.dll and its
# caller. With one shared libstdc++ in the process (Windows loads a DLL name
# once), both sides agree on allocators, type identity of exceptions and the
# exception-handling state; a copy linked into tqrtl.dll would give the DLL
# its own.
#
# The DLLs are asked of the compiler that builds the library, so they are
# the ones it was built against. A name the compiler does not know (another
# thread model or exception model) is skipped; the package test checks that
# every DLL an installed binary imports is either a system DLL or in bin/.
if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(TQRTL_RUNTIME_DLLS "")
  foreach(_dll IN ITEMS libstdc++-6.dll libgcc_s_seh-1.dll libgcc_s_dw2-1.dll
                        libgcc_s_sjlj-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
      OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE _result ERROR_QUIET)
    # An unknown name comes back as it went in, without a folder.
    if(_result EQUAL 0 AND IS_ABSOLUTE "${_path}" AND EXISTS "${_path}")
      get_filename_component(_path "${_path}" REALPATH)
      list(APPEND TQRTL_RUNTIME_DLLS "${_path}")
    endif()
  endforeach()
  if(NOT TQRTL_RUNTIME_DLLS MATCHES "libstdc\\+\\+-6\\.dll")
    message(WARNING "The compiler does not name its libstdc++-6.dll; the "
      "installed package will need the MinGW run-time on the path.")
  endif()
  install(FILES ${TQRTL_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(DIRECTORY "${PROJECT_SOURCE_DIR}/tqrtl"
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h"
  PATTERN "posix" EXCLUDE PATTERN "windows" EXCLUDE PATTERN "internal" EXCLUDE)
install(FILES "${PROJECT_BINARY_DIR}/include/tqrtl/version.h"
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tqrtl)
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

# pkg-config, for projects built with make or Meson (Linux; the Windows
# package is for CMake projects).
if(NOT WIN32)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    message(FATAL_ERROR "tqrtl.pc needs CMAKE_INSTALL_LIBDIR below the prefix")
  endif()
  file(RELATIVE_PATH TQRTL_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" TQRTL_PC_TO_PREFIX "${TQRTL_PC_TO_PREFIX}")
  set(TQRTL_PC_DL "")
  foreach(_lib IN LISTS CMAKE_DL_LIBS)
    string(APPEND TQRTL_PC_DL " -l${_lib}")
  endforeach()
  string(STRIP "${TQRTL_PC_DL}" TQRTL_PC_DL)
  configure_file(cmake/tqrtl.pc.in "${PROJECT_BINARY_DIR}/tqrtl.pc" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/tqrtl.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
