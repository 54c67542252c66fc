// The c query parameter of `nimbus serve`: what the reader accepts is exactly
// an expiry in canonical decimal, a dot and a 43-character base64url MAC;
// nothing a client sends is taken as a capability without the key; and a
// capability made for any path is taken for that path only.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "serve/capability.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const cli::capability_key key("fuzzing-secret-0123456789");
    const long long now = 1700000000;
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();

    long long expiry = -1;
    std::string mac;
    if (cli::parse_capability(text.c_str(), &expiry, &mac)) {
        CHECK(expiry > 0 && expiry <= 99999999999LL && mac.size() == 43);
        CHECK(text == std::to_string(expiry) + "." + mac);
        CHECK(text.size() <= cli::kMaxCapability);
        for (char c : mac)
            CHECK(std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_",
                              c) != nullptr);
    } else {
        CHECK(expiry == -1 && mac.empty());
    }
    // A forged value is never taken, whatever path it names.
    CHECK(!key.allows("/Music/a.flac", text.c_str(), now));

    // The input as a path: its own capability is taken for it, not for the
    // path one byte longer.
    std::string c = key.suffix(text, now);
    CHECK(c.compare(0, 2, "c=") == 0 && c.size() <= 2 + cli::kMaxCapability);
    CHECK(key.allows(text, c.c_str() + 2, now));
    CHECK(!key.allows(text + "x", c.c_str() + 2, now));
    return 0;
}
