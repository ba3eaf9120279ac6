/* The consumer's own string resources. */
#ifndef CONSUMER_STRINGS_H_
#define CONSUMER_STRINGS_H_
#define CONSUMER_STRINGS(X) X(100, "Hello from %1")
#endif
