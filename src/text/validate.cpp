// Validators for UTF-8, drive paths and item ids, and the helpers that turn a
// service-supplied entry name into a safe path component.
#include <cstdint>
#include <cstring>

#include "text/text.h"

namespace {

constexpr size_t MAX_PATH_BYTES = 2048;
constexpr size_t MAX_ID_BYTES = 2048;
constexpr size_t MAX_NAME_BYTES = 1024;

inline bool control_byte(unsigned char c) {
    return (c >= 0x01 && c <= 0x1F) || c == 0x7F;
}

// A byte that a cleaned name does not keep as it is: '/' or a control byte
// (the name holds no NUL).
inline bool special(unsigned char c) {
    return c == '/' || control_byte(c);
}

// Whether all n bytes are printable ASCII other than '/'. The bytes are
// tested eight at a time with the word-wise tests for "some byte below",
// "some byte above" and "some byte equal to" a value, which are exact for
// whether any byte of the word qualifies.
bool plain_ascii(const char *s, size_t n) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    uint64_t odd = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        uint64_t slash = w ^ (ones * '/');
        odd |= ((w - ones * 0x20) & ~w)     // a byte below 0x20
               | ((w + ones) | w)           // a byte above 0x7E
               | ((slash - ones) & ~slash); // a '/'
    }
    odd &= highs;
    for (; i < n; i++) {
        unsigned c = static_cast<unsigned char>(s[i]);
        odd |= static_cast<unsigned>(c - 0x20u > 0x7Eu - 0x20u) | static_cast<unsigned>(c == '/');
    }
    return odd == 0;
}

} // namespace

int nimbus_utf8_ok(const char *bytes, size_t n) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes);
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t len;
        uint32_t value;
        uint32_t least;
        if (c >= 0xC0 && c <= 0xDF) {
            len = 2;
            value = c & 0x1Fu;
            least = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            value = c & 0x0Fu;
            least = 0x800;
        } else if (c >= 0xF0 && c <= 0xF7) {
            len = 4;
            value = c & 0x07u;
            least = 0x10000;
        } else {
            return 0;
        }
        if (n - i < len)
            return 0;
        for (size_t k = 1; k < len; k++) {
            unsigned char t = p[i + k];
            if (t < 0x80 || t > 0xBF)
                return 0;
            value = value * 64 + (t & 0x3Fu);
        }
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return 0;
        i += len;
    }
    return 1;
}

size_t nimbus_utf8_repair(char *out, const char *bytes, size_t n) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes);
    size_t i = 0, w = 0;
    while (i < n) {
        unsigned c = p[i];
        // The continuation bytes a lead byte takes, and the range of the
        // first of them (which rules out overlong forms and values above
        // U+10FFFF); a surrogate is let through here and caught below.
        size_t need = 0;
        unsigned lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            if (out)
                out[w] = static_cast<char>(c);
            w++;
            i++;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            lo = c == 0xE0 ? 0xA0 : 0x80;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        }
        size_t k = 1; // the bytes of the sequence that fit so far
        while (k <= need && i + k < n) {
            unsigned t = p[i + k];
            if (t < (k == 1 ? lo : 0x80u) || t > (k == 1 ? hi : 0xBFu))
                break;
            k++;
        }
        bool whole = need > 0 && k == need + 1;
        if (whole && !(c == 0xED && p[i + 1] >= 0xA0)) {
            if (out)
                std::memcpy(out + w, p + i, k);
            w += k;
        } else {
            // The longest start of a sequence that could not be completed
            // (or one encoded surrogate) stands for one character that is
            // not there.
            if (out)
                std::memcpy(out + w, "\xEF\xBF\xBD", 3);
            w += 3;
        }
        i += k;
    }
    return w;
}

int nimbus_path_ok(const char *s) {
    if (s == nullptr || s[0] != '/')
        return 0;
    size_t n = std::strlen(s);
    if (n > MAX_PATH_BYTES)
        return 0;
    if (!nimbus_utf8_ok(s, n))
        return 0;
    for (size_t i = 0; i < n; i++)
        if (control_byte(static_cast<unsigned char>(s[i])))
            return 0;
    // Segments are the runs between slashes; "." and ".." are refused.
    for (size_t i = 0; i < n;) {
        size_t start = ++i; // s[i - 1] is a slash
        while (i < n && s[i] != '/')
            i++;
        size_t len = i - start;
        if ((len == 1 && s[start] == '.') || (len == 2 && s[start] == '.' && s[start + 1] == '.'))
            return 0;
    }
    if (n > 1 && s[n - 1] == '/')
        return 0;
    return 1;
}

int nimbus_item_id_ok(const char *s) {
    if (s == nullptr)
        return 0;
    size_t n = std::strlen(s);
    if (n < 1 || n > MAX_ID_BYTES)
        return 0;
    if (s[0] == '/')
        return 0;
    if (std::strstr(s, "..") != nullptr)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (control_byte(static_cast<unsigned char>(s[i])))
            return 0;
    return 1;
}

const char *nimbus_basename(const char *s) {
    if (s == nullptr)
        return "";
    const char *slash = std::strrchr(s, '/');
    return slash != nullptr ? slash + 1 : s;
}

int nimbus_name_clean(nimbus_buf *b, const char *name, const char *fallback) {
    size_t n = name != nullptr ? std::strlen(name) : 0;
    // Most names are printable ASCII without a '/': valid UTF-8 with nothing
    // to replace, found so by one look at each byte and kept as they are.
    if (n >= 1 && n <= MAX_NAME_BYTES && plain_ascii(name, n) && std::strcmp(name, ".") != 0 &&
        std::strcmp(name, "..") != 0)
        return nimbus_buf_add(b, name, n);
    bool usable = n >= 1 && n <= MAX_NAME_BYTES && nimbus_utf8_ok(name, n) &&
                  std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
    if (!usable) {
        // The fallback comes from the service too (the id's last component):
        // it gets the same cleaning, and "item" when it is no better.
        if (fallback != nullptr)
            return nimbus_name_clean(b, fallback, nullptr);
        return nimbus_buf_adds(b, "item");
    }
    // Copy runs of plain bytes in one piece; '/' becomes U+2215 DIVISION
    // SLASH and control bytes become '_', so the name is one path component.
    size_t run = 0;
    for (size_t i = 0;;) {
        while (i < n && !special(static_cast<unsigned char>(name[i])))
            i++;
        if (i > run && nimbus_buf_add(b, name + run, i - run) != 0)
            return -1;
        if (i == n)
            break;
        if (name[i] == '/' ? nimbus_buf_add(b, "\xE2\x88\x95", 3) != 0
                           : nimbus_buf_add(b, "_", 1) != 0)
            return -1;
        run = ++i;
    }
    return 0;
}
