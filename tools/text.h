// Text helpers without dependencies (header-only, so the fuzz targets of
// the request parsers can use them without the rest of the command).
#ifndef NIMBUS_TOOLS_TEXT_H
#define NIMBUS_TOOLS_TEXT_H

#include <string>
#include <string_view>

namespace cli {

// The length of the well-formed UTF-8 sequence at s[i] (RFC 3629: no
// overlong forms, surrogates or values past U+10FFFF), 0 when there is none.
inline size_t utf8_length(std::string_view s, size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xbf; // the second byte's range
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        lo = c == 0xe0 ? 0xa0 : 0x80;
        hi = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        lo = c == 0xf0 ? 0x90 : 0x80;
        hi = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (s.size() - i < len)
        return 0;
    auto second = static_cast<unsigned char>(s[i + 1]);
    if (second < lo || second > hi)
        return 0;
    for (size_t k = 2; k < len; k++)
        if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80)
            return 0;
    return len;
}

// Percent-encoding for URL paths, query values and form bodies: unreserved
// characters (and slashes with keep_slash) stay, every other byte becomes
// %XX. With keep_slash it is the encoding the library applies to drive paths.
inline std::string url_encode(const std::string &text, bool keep_slash) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// True when text holds a control character (below 0x20, or DEL): such a
// text cannot go into a header line, a settings value or a terminal as is.
inline bool has_control(const std::string &text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

// The value of a hexadecimal digit, or -1.
inline int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Unpadded base64url (RFC 4648, section 5): the PKCE verifier and
// challenge, and the MAC of the gateway's capability URLs.
inline std::string base64url(const unsigned char *data, size_t len) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        unsigned v = static_cast<unsigned>(data[i]) << 16;
        if (i + 1 < len)
            v |= static_cast<unsigned>(data[i + 1]) << 8;
        if (i + 2 < len)
            v |= data[i + 2];
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        if (i + 1 < len)
            out += digits[(v >> 6) & 63];
        if (i + 2 < len)
            out += digits[v & 63];
    }
    return out;
}

// Compares in time that depends on the secret's length only.
inline bool same_secret(const std::string &given, const std::string &secret) {
    unsigned char diff = given.size() != secret.size() ? 1 : 0;
    for (size_t i = 0; i < secret.size(); i++) {
        unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        diff = static_cast<unsigned char>(diff | (g ^ static_cast<unsigned char>(secret[i])));
    }
    return diff == 0;
}

} // namespace cli

#endif
