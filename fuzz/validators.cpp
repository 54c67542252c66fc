// Invariants of the UTF-8, path and item id checks, the last component and
// name cleaning, on arbitrary bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "text/text.h"

namespace {

// Well-formed UTF-8 by the byte ranges of the Unicode standard (Table 3-7),
// written independently of the library's value-based check.
bool utf8_reference(const unsigned char *s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        auto in = [&](size_t k, unsigned char lo, unsigned char hi) {
            return i + k < n && s[i + k] >= lo && s[i + k] <= hi;
        };
        if (c <= 0x7F) {
            i += 1;
        } else if (c >= 0xC2 && c <= 0xDF && in(1, 0x80, 0xBF)) {
            i += 2;
        } else if (c == 0xE0 && in(1, 0xA0, 0xBF) && in(2, 0x80, 0xBF)) {
            i += 3;
        } else if (((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) && in(1, 0x80, 0xBF) &&
                   in(2, 0x80, 0xBF)) {
            i += 3;
        } else if (c == 0xED && in(1, 0x80, 0x9F) && in(2, 0x80, 0xBF)) {
            i += 3;
        } else if (c == 0xF0 && in(1, 0x90, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF)) {
            i += 4;
        } else if (c >= 0xF1 && c <= 0xF3 && in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) &&
                   in(3, 0x80, 0xBF)) {
            i += 4;
        } else if (c == 0xF4 && in(1, 0x80, 0x8F) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF)) {
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

bool has_control(const std::string &s) {
    for (unsigned char c : s)
        if ((c >= 0x01 && c <= 0x1F) || c == 0x7F)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CHECK(nimbus_utf8_ok(reinterpret_cast<const char *>(data), size) ==
          (utf8_reference(data, size) ? 1 : 0));

    // The text up to the first NUL, and a split into name and fallback at
    // the first 0x01 byte.
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();

    if (nimbus_path_ok(text.c_str())) {
        CHECK(!text.empty() && text[0] == '/' && text.size() <= 2048);
        CHECK(utf8_reference(reinterpret_cast<const unsigned char *>(text.data()), text.size()));
        CHECK(!has_control(text));
        CHECK(text == "/" || text.back() != '/');
        std::string padded = text + "/";
        CHECK(padded.find("/./") == std::string::npos);
        CHECK(padded.find("/../") == std::string::npos);
    } else if (!text.empty() && text[0] == '/' && text.size() <= 2048 && !has_control(text) &&
               utf8_reference(reinterpret_cast<const unsigned char *>(text.data()), text.size())) {
        std::string padded = text + "/";
        CHECK(padded.find("/./") != std::string::npos || padded.find("/../") != std::string::npos ||
              (text != "/" && text.back() == '/'));
    }

    bool id_ok = !text.empty() && text.size() <= 2048 && text[0] != '/' &&
                 text.find("..") == std::string::npos && !has_control(text);
    CHECK(nimbus_item_id_ok(text.c_str()) == (id_ok ? 1 : 0));

    const char *base = nimbus_basename(text.c_str());
    CHECK(base >= text.c_str() && base <= text.c_str() + text.size());
    CHECK(std::strchr(base, '/') == nullptr);
    CHECK(base == text.c_str() || base[-1] == '/');

    size_t split = text.find('\x01');
    std::string name = split == std::string::npos ? text : text.substr(0, split);
    std::string fallback = split == std::string::npos ? "" : text.substr(split + 1);
    const char *name_arg = (size % 7 == 3) ? nullptr : name.c_str();
    const char *fallback_arg = (size % 5 == 2) ? nullptr : fallback.c_str();
    nimbus_buf b{};
    CHECK(nimbus_name_clean(&b, name_arg, fallback_arg) == 0);
    CHECK(b.data != nullptr && b.len == std::strlen(b.data));
    std::string out(b.data, b.len);
    nimbus_buf_free(&b);
    // The name when usable, else the fallback cleaned the same way, else "item".
    auto usable = [](const std::string &s) {
        return !s.empty() && s.size() <= 1024 && s != "." && s != ".." &&
               utf8_reference(reinterpret_cast<const unsigned char *>(s.data()), s.size());
    };
    const std::string *chosen = nullptr;
    if (name_arg != nullptr && usable(name))
        chosen = &name;
    else if (fallback_arg != nullptr && usable(fallback))
        chosen = &fallback;
    if (chosen) {
        size_t slashes = 0;
        for (char c : *chosen)
            slashes += c == '/';
        CHECK(out.size() == chosen->size() + 2 * slashes);
        CHECK(utf8_reference(reinterpret_cast<const unsigned char *>(out.data()), out.size()));
        CHECK(out.find('/') == std::string::npos);
        CHECK(!has_control(out));
    } else {
        CHECK(out == "item");
    }
    return 0;
}
