// A client's Range, read before the gateway's proxy passes it on: one range
// read comes out as "bytes=" and digits that read back to the same range,
// no range ends before it starts, and a 416 answer's length is all digits.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "serve/range.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();

    cli::byte_range r;
    cli::range_ask ask = cli::read_range(text.c_str(), &r);
    CHECK(text.size() >= 6 || ask == cli::range_ask::whole);
    if (ask == cli::range_ask::one) {
        if (r.first < 0)
            CHECK(r.suffix >= 0 && r.last == -1);
        else
            CHECK(r.suffix == -1 && (r.last == -1 || r.last >= r.first));
        std::string value = cli::range_value(r);
        CHECK(value.compare(0, 6, "bytes=") == 0 &&
              value.find_first_not_of("0123456789-", 6) == std::string::npos &&
              value.size() <= 6 + 19 + 1 + 19);
        cli::byte_range again;
        CHECK(cli::read_range(value.c_str(), &again) == cli::range_ask::one &&
              again.first == r.first && again.last == r.last && again.suffix == r.suffix);
    }

    long long total = -1;
    if (cli::unsatisfied_length(text, &total)) {
        CHECK(total >= 0 && text.compare(0, 8, "bytes */") == 0 &&
              text.find_first_not_of("0123456789", 8) == std::string::npos);
    } else {
        CHECK(total == -1);
    }
    return 0;
}
