# Test set-up: GoogleTest from the system on Linux, built from the Debian
# googletest sources for the Windows cross-build (no package exists there).

if(CMAKE_CROSSCOMPILING AND WIN32)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${PROJECT_BINARY_DIR}/googletest"
                   EXCLUDE_FROM_ALL SYSTEM)
  # googletest's own CMake defines the GTest:: aliases.
else()
  find_package(GTest REQUIRED)
endif()

# The environment every test runs in: local time is UTC, whatever the
# machine's zone (Wine hands TZ on to the Windows process too). Under Wine:
# quiet, with the MinGW run-time DLLs on the path and the prefix the test
# script prepared.
set(TQRTL_TEST_ENVIRONMENT "TZ=UTC")
if(WIN32)
  string(REPLACE ";" "\\;" _winepath "${TQRTL_WINEPATH}")
  list(APPEND TQRTL_TEST_ENVIRONMENT "WINEDEBUG=-all" "WINEPATH=${_winepath}")
endif()

# tqrtl_add_test(<name> SOURCES ... [LIBRARIES ...])
# One GoogleTest executable, run by ctest as one test.
function(tqrtl_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  tqrtl_target_options(${name})
  target_link_libraries(${name} PRIVATE TQRTL::tqrtl GTest::gtest_main
                        GTest::gmock ${ARG_LIBRARIES})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${TQRTL_TEST_ENVIRONMENT}" TIMEOUT 300)
endfunction()
