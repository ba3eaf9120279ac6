# Cross-build for 64-bit Windows with MinGW-w64 (Debian package
# g++-mingw-w64-x86-64-posix). Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TQRTL_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TQRTL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TQRTL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TQRTL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TQRTL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TQRTL_WINE NAMES wine wine64)
if(TQRTL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TQRTL_WINE})
endif()

# Where the MinGW run-time DLLs (libstdc++, libgcc, winpthread) live; the
# tests hand this to Wine through WINEPATH.
file(GLOB _tqrtl_gcc_dirs /usr/lib/gcc/${TQRTL_MINGW_TRIPLE}/*-posix)
list(GET _tqrtl_gcc_dirs 0 _tqrtl_gcc_dir)
set(TQRTL_WINEPATH "${_tqrtl_gcc_dir};/usr/${TQRTL_MINGW_TRIPLE}/lib")
