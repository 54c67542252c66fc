/* The fixed end of every entry object in the entry JSON: the media keys,
 * always null, and "available", always false. One spelling for the tests,
 * the fuzzers and the C host (C and C++). */
#ifndef NIMBUS_TESTS_ENTRY_TAIL_H
#define NIMBUS_TESTS_ENTRY_TAIL_H

#define NIMBUS_ENTRY_TAIL                                                                          \
    ",\"title\":null,\"year\":null,\"type\":null,\"media_type\":null,\"container\":null,"          \
    "\"imdb\":null,\"tmdb\":null,\"available\":false}"

#endif /* NIMBUS_TESTS_ENTRY_TAIL_H */
