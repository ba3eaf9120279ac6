# Compiler settings shared by every target of this project. They are applied
# per target (tqrtl_target_options), never directory-wide, so a parent project
# that adds TQRTL with add_subdirectory keeps its own flags.

if(WIN32)
  enable_language(RC)
endif()

# Every TQRTL executable and the DLL land in one folder, so that the Windows
# tests find tqrtl.dll beside them.
if(TQRTL_TOP_LEVEL)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/bin")
  set(CMAKE_LIBRARY_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/lib")
  set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/lib")
endif()

function(tqrtl_target_options target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES
    CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow
      -Wnon-virtual-dtor -Wno-unused-parameter)
    if(TQRTL_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
    # GCC marks some template statics "unique", which makes the dynamic
    # loader keep a library in memory forever: dlclose would then never
    # unload it, and its process detach would never run.
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Calls between the library's own exported functions bind directly
    # instead of through the PLT; the library is not built to be interposed.
    target_compile_options(${target} PRIVATE -fno-semantic-interposition)
  endif()
  if(WIN32)
    # The library's printf family is the system C run-time's; MinGW's own
    # replacement prints differently and must stay out.
    target_compile_definitions(${target} PRIVATE __USE_MINGW_ANSI_STDIO=0)
  endif()
  if(TQRTL_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${TQRTL_SANITIZE}
      -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${TQRTL_SANITIZE})
  endif()
endfunction()

include(TQRTLStringResources)
