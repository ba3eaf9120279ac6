/* demo_strings.h: the demo tool's own string resources. */
#ifndef TQRTL_EXAMPLES_DEMO_STRINGS_H_
#define TQRTL_EXAMPLES_DEMO_STRINGS_H_

#define DEMO_STRINGS(X)                                                        \
  X(100, "Workspace \x22%1\x22 holds %2 projects.")                           \
  X(101, "Keep the demo workspace?")                                          \
  X(102, "TQRTL demo")

#endif /* TQRTL_EXAMPLES_DEMO_STRINGS_H_ */
