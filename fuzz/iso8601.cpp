// The ISO 8601 reader on any text: no crash, no read past the NUL, and a
// value that is 0 or falls within the years 1971 to 9999.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    int64_t got = nimbus_iso8601_ms(text.c_str());
    if (got != 0 && (got < 31536000000 || got > 253402300800999))
        std::abort();
    return 0;
}
