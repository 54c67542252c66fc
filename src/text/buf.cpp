// Growable text buffer and the encoders that append JSON string literals,
// form fields, drive paths and percent-encoded text to it.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "text/text.h"

namespace {

constexpr char HEX_UPPER[] = "0123456789ABCDEF";

int grow(nimbus_buf *b, size_t n);
size_t encoded_len(const char *s, size_t n);
char *encode(char *out, const char *s, size_t n);
int add_encoded(nimbus_buf *b, const char *s, size_t n);

} // namespace

int nimbus_buf_add(nimbus_buf *b, const void *bytes, size_t n) {
    if (n > 0 && bytes == nullptr)
        return -1;
    if (grow(b, n) != 0)
        return -1;
    if (n > 0)
        std::memcpy(b->data + b->len, bytes, n);
    b->len += n;
    b->data[b->len] = '\0';
    return 0;
}

int nimbus_buf_adds(nimbus_buf *b, const char *s) {
    if (s == nullptr)
        return 0;
    return nimbus_buf_add(b, s, std::strlen(s));
}

int nimbus_buf_addf(nimbus_buf *b, const char *fmt, ...) {
    char scratch[512];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(scratch, sizeof scratch, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return -1;
    }
    if (static_cast<size_t>(n) < sizeof scratch) {
        va_end(again);
        return nimbus_buf_add(b, scratch, static_cast<size_t>(n));
    }
    // Too long for the scratch area: format once more at the exact size.
    char *big = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1));
    if (big == nullptr) {
        va_end(again);
        return -1;
    }
    int m = std::vsnprintf(big, static_cast<size_t>(n) + 1, fmt, again);
    va_end(again);
    int rc = m == n ? nimbus_buf_add(b, big, static_cast<size_t>(n)) : -1;
    std::free(big);
    return rc;
}

int nimbus_buf_json_str(nimbus_buf *b, const char *s) {
    if (s == nullptr)
        return nimbus_buf_add(b, "null", 4);
    size_t n = std::strlen(s);
    if (n > (SIZE_MAX - 2) / 6 || grow(b, 6 * n + 2) != 0)
        return -1;
    char *end = nimbus_json_put_str(b->data + b->len, s, n);
    b->len = static_cast<size_t>(end - b->data);
    b->data[b->len] = '\0';
    return 0;
}

int nimbus_buf_query(nimbus_buf *b, const char *name, const char *value) {
    if (nimbus_buf_add(b, b->len == 0 ? "?" : "&", 1) != 0)
        return -1;
    if (nimbus_buf_adds(b, name) != 0 || nimbus_buf_add(b, "=", 1) != 0)
        return -1;
    return add_encoded(b, value, value == nullptr ? 0 : std::strlen(value));
}

int nimbus_buf_addpath(nimbus_buf *b, const char *path) {
    if (path == nullptr || *path == '\0')
        return 0;
    const char *p = path;
    while (*p != '\0') {
        if (*p == '/') {
            if (nimbus_buf_add(b, "/", 1) != 0)
                return -1;
            p++;
            continue;
        }
        const char *end = std::strchr(p, '/');
        size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        if (add_encoded(b, p, n) != 0)
            return -1;
        p += n;
    }
    return 0;
}

int nimbus_buf_addq(nimbus_buf *b, const char *text) {
    return add_encoded(b, text, text == nullptr ? 0 : std::strlen(text));
}

void nimbus_buf_free(nimbus_buf *b) {
    if (b == nullptr)
        return;
    std::free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
}

char *nimbus_strndup(const char *bytes, size_t n) {
    if (bytes == nullptr || n == SIZE_MAX)
        return nullptr;
    char *p = static_cast<char *>(std::malloc(n + 1));
    if (p == nullptr)
        return nullptr;
    if (n > 0)
        std::memcpy(p, bytes, n);
    p[n] = '\0';
    return p;
}

char *nimbus_strdup(const char *s) {
    if (s == nullptr)
        return nullptr;
    return nimbus_strndup(s, std::strlen(s));
}

namespace {

// Makes room for n more bytes plus the NUL. Capacity starts at 256 and
// doubles, so a buffer that starts empty always holds 256 * 2^k bytes.
int grow(nimbus_buf *b, size_t n) {
    if (n > SIZE_MAX - 1 - b->len)
        return -1;
    size_t need = b->len + n + 1;
    if (b->cap >= need && b->data != nullptr)
        return 0;
    size_t cap = b->cap == 0 ? 256 : b->cap;
    while (cap < need) {
        if (cap >> 63 != 0)
            return -1;
        cap *= 2;
    }
    char *data = static_cast<char *>(std::realloc(b->data, cap));
    if (data == nullptr)
        return -1;
    b->data = data;
    b->cap = cap;
    return 0;
}

inline bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

size_t encoded_len(const char *s, size_t n) {
    size_t out = 0;
    for (size_t i = 0; i < n; i++)
        out += unreserved(static_cast<unsigned char>(s[i])) ? 1 : 3;
    return out;
}

char *encode(char *out, const char *s, size_t n) {
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (unreserved(c)) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = '%';
            *out++ = HEX_UPPER[c >> 4];
            *out++ = HEX_UPPER[c & 0x0F];
        }
    }
    return out;
}

// Percent-encodes n bytes straight into the buffer: the encoded size is
// known up front, so one growth step makes room for all of it. Zero bytes
// still make a (zero-byte) append, which allocates a fresh buffer.
int add_encoded(nimbus_buf *b, const char *s, size_t n) {
    if (n > (SIZE_MAX - 2) / 3)
        return -1;
    size_t m = encoded_len(s, n);
    if (grow(b, m) != 0)
        return -1;
    encode(b->data + b->len, s, n);
    b->len += m;
    b->data[b->len] = '\0';
    return 0;
}

} // namespace
