/* library_strings.h: the library's own string resources, ids 501-508.
   An X-macro list of X(id, "text") lines (see TQRTL_STRING_TABLE); the
   resource compiler reads this file too, so it holds nothing else. A double
   quote is written \x22. */
#ifndef TQRTL_RES_LIBRARY_STRINGS_H_
#define TQRTL_RES_LIBRARY_STRINGS_H_

#define TQRTL_LIBRARY_STRINGS(X)                                                     \
  X(501, "Can't find %s, please try again.")                                        \
  X(502, "A system error has occurred\n(%s)\n\nReport this information to Vantor Technical Support.") \
  X(503, "Unable to open file \x22%1\x22")                                           \
  X(504, "An exception has occurred. Report this information to Vantor Technical Support.") \
  X(505, "The system is out of memory. Close some applications and try again.")      \
  X(506, "The target process has terminated.\nClose the console window when you are finished viewing the results.") \
  X(507, "Vantor Lintel - %s Error")                                                 \
  X(508, "Vantor Lintel - Error")

#endif /* TQRTL_RES_LIBRARY_STRINGS_H_ */
