// CHECK for fuzz targets: a broken guarantee aborts, so libFuzzer keeps the
// input that caused it (assert would vanish in builds with NDEBUG).
#ifndef NIMBUS_FUZZ_CHECK_H
#define NIMBUS_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

#endif // NIMBUS_FUZZ_CHECK_H
