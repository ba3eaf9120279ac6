# Renders a tool's manual page (roff, section 1) from its source, as
#
#   cmake -DSOURCE=<tool>.1.md -DOUTPUT=<tool>.1 -DVERSION=<x.y.z>
#         -DTOOL=<built tool> [-DGZIP=<gzip program>] -P TQRTLManPage.cmake
#
# The source is plain text with a little markup:
#
#   name -- summary        the first line: the NAME section
#   # HEADING              a section (.SH)
#   : term                 a tagged paragraph (.TP); its text follows on
#                          lines indented by two spaces, up to a blank line
#       literal            lines indented by four spaces: shown as they are
#   @USAGE@                the tool's own --help output, as a literal block,
#                          so that the page and the program cannot disagree
#   **bold**, *italic*     inline, in ordinary text and terms
#
# A blank line ends a paragraph. Backslashes, minus signs and lines that
# start with a period are escaped, so the text needs no roff knowledge.
# With GZIP, <OUTPUT>.gz is written too (what is installed), without a name
# or time stamp in it, so that the same source gives the same bytes.
cmake_minimum_required(VERSION 3.25)

foreach(_var SOURCE OUTPUT VERSION TOOL)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "TQRTLManPage.cmake: ${_var} is not set")
  endif()
endforeach()

# CMake lists split at ';' and treat '[' ']' specially, so these stand in
# for them while the text is handled line by line.
function(_man_protect text out)
  string(REPLACE ";" "@SEMI@" text "${text}")
  string(REPLACE "[" "@LB@" text "${text}")
  string(REPLACE "]" "@RB@" text "${text}")
  string(REPLACE "\r" "" text "${text}")
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Roff escapes for text as it is written.
function(_man_escape text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  if(text MATCHES "^[.']")
    set(text "\\&${text}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(_man_inline text out)
  _man_escape("${text}" text)
  string(REGEX REPLACE "\\*\\*([^*]+)\\*\\*" "\\\\fB\\1\\\\fR" text "${text}")
  string(REGEX REPLACE "\\*([^*]+)\\*" "\\\\fI\\1\\\\fR" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND "${TOOL}" --help
  OUTPUT_VARIABLE usage RESULT_VARIABLE result ERROR_VARIABLE error)
if(NOT result EQUAL 0 OR usage STREQUAL "")
  message(FATAL_ERROR "${TOOL} --help failed (${result}): ${error}")
endif()
_man_protect("${usage}" usage_lines)

file(READ "${SOURCE}" source)
_man_protect("${source}" lines)
list(POP_FRONT lines title)
if(NOT title MATCHES "^([A-Za-z0-9_]+) -- (.+)$")
  message(FATAL_ERROR "${SOURCE}: the first line must be \"name -- summary\"")
endif()
set(name "${CMAKE_MATCH_1}")
_man_inline("${CMAKE_MATCH_2}" summary)
string(TOUPPER "${name}" upper)

# .nh: names and switches are never split across lines.
set(page ".TH ${upper} 1 \"\" \"TQRTL ${VERSION}\" \"TQRTL tools\"\n.nh\n.SH NAME\n${name} \\- ${summary}\n")
# state: "" between paragraphs, "text" in one, "literal" in a literal block.
set(state "")
set(number 1)
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  if(state STREQUAL "literal" AND NOT line MATCHES "^    ")
    string(APPEND page ".fi\n")
    set(state "")
  endif()
  if(line STREQUAL "")
    set(state "")
  elseif(line MATCHES "^# (.+)$")
    string(TOUPPER "${CMAKE_MATCH_1}" heading)
    _man_escape("${heading}" heading)
    string(APPEND page ".SH ${heading}\n")
    set(state "heading")
  elseif(line STREQUAL "@USAGE@")
    string(APPEND page ".nf\n")
    foreach(usage_line IN LISTS usage_lines)
      _man_escape("${usage_line}" usage_line)
      string(APPEND page "${usage_line}\n")
    endforeach()
    string(APPEND page ".fi\n")
    set(state "")
  elseif(line MATCHES "^: (.+)$")
    _man_inline("${CMAKE_MATCH_1}" term)
    string(APPEND page ".TP\n${term}\n")
    set(state "text")
  elseif(line MATCHES "^    (.*)$")
    if(NOT state STREQUAL "literal")
      # .IP keeps the indent of a term's text, and indents a block of its own.
      string(APPEND page ".IP\n.nf\n")
      set(state "literal")
    endif()
    _man_escape("${CMAKE_MATCH_1}" literal)
    string(APPEND page "${literal}\n")
  elseif(line MATCHES "^  [^ ]" AND state STREQUAL "text")
    string(STRIP "${line}" line)
    _man_inline("${line}" line)
    string(APPEND page "${line}\n")
  elseif(line MATCHES "^ ")
    message(FATAL_ERROR "${SOURCE}:${number}: only a term's text is indented by two "
      "spaces, and a literal line by four")
  else()
    string(STRIP "${line}" line)
    if(state STREQUAL "")
      string(APPEND page ".PP\n")
    endif()
    _man_inline("${line}" line)
    string(APPEND page "${line}\n")
    set(state "text")
  endif()
endforeach()
if(state STREQUAL "literal")
  string(APPEND page ".fi\n")
endif()

string(REPLACE "@SEMI@" ";" page "${page}")
string(REPLACE "@LB@" "[" page "${page}")
string(REPLACE "@RB@" "]" page "${page}")
file(WRITE "${OUTPUT}" "${page}")
if(GZIP)
  execute_process(COMMAND "${GZIP}" -9 -n -c "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(REMOVE "${OUTPUT}" "${OUTPUT}.gz")
    message(FATAL_ERROR "${GZIP} failed on ${OUTPUT}")
  endif()
endif()
