// Differential fuzzing of the ISO 8601 reader against the scanf-based
// reference reading: both must give the same value on every input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../tests/text/iso8601_reference.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    int64_t got = nimbus_iso8601_ms(text.c_str());
    int64_t want = iso8601_reference(text.c_str());
    if (got != want) {
        std::fprintf(stderr, "iso8601 mismatch on \"%s\": %lld, reference %lld\n", text.c_str(),
                     static_cast<long long>(got), static_cast<long long>(want));
        std::abort();
    }
    if (got != 0 && (got < 31536000000 || got > 253402300800999))
        std::abort();
    return 0;
}
