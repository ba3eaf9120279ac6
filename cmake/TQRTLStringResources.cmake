# tqrtl_string_resources(<target> <header> <LIST>)
#
# Gives <target> the string table declared in <header> as the X-macro <LIST>
# (lines of X(id, "text")). On Linux the C++ side, TQRTL_STRING_TABLE(<LIST>)
# in one source file of the module, is all that is needed and this function
# does nothing. On Windows it writes the equivalent .rc string table and adds
# it to the target, so that the system's LoadStringA finds the same texts.
#
# An outside project gets this file through find_package(TQRTL), so the
# resource compiler is enabled here, where the function becomes known.
if(WIN32)
  enable_language(RC)
endif()

function(tqrtl_string_resources target header list)
  if(NOT WIN32)
    return()
  endif()
  get_filename_component(header "${header}" ABSOLUTE)
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_${list}.rc")
  file(WRITE "${rc}.in"
    "#include \"${header}\"\n"
    "#define TQRTL_RC_STRING(id, text) id, text\n"
    "STRINGTABLE\nBEGIN\n${list}(TQRTL_RC_STRING)\nEND\n")
  configure_file("${rc}.in" "${rc}" COPYONLY)
  # The resource compiler does not report the header it reads; name it, so
  # that editing the texts rebuilds the table.
  set_source_files_properties("${rc}" PROPERTIES OBJECT_DEPENDS "${header}")
  target_sources(${target} PRIVATE "${rc}")
endfunction()
