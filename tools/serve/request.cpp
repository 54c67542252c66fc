// Parsing of what clients send: every byte is checked before the library or
// a page sees it.
#include "serve/request.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {
namespace {

constexpr size_t kMaxRawPath = 3 * kMaxDrivePath + 1; // every byte percent-encoded, plus "/"

// Well-formed UTF-8 (RFC 3629): no overlong forms, surrogates or values past U+10FFFF.
bool utf8_ok(const std::string &s) {
    size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t len;
        unsigned long v, min;
        if (c >= 0xc2 && c <= 0xdf) {
            len = 2, v = c & 0x1f, min = 0x80;
        } else if (c >= 0xe0 && c <= 0xef) {
            len = 3, v = c & 0x0f, min = 0x800;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4, v = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (n - i < len)
            return false;
        for (size_t k = 1; k < len; k++) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xc0) != 0x80)
                return false;
            v = (v << 6) | (d & 0x3f);
        }
        if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff))
            return false;
        i += len;
    }
    return true;
}

} // namespace

bool decode_path(const char *raw, std::string *out) {
    size_t n = std::strlen(raw);
    if (n == 0 || raw[0] != '/' || n > kMaxRawPath)
        return false;
    out->clear();
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == '%') {
            int hi = i + 2 < n ? hex_value(raw[i + 1]) : -1;
            int lo = i + 2 < n ? hex_value(raw[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return false;
            c = static_cast<unsigned char>(hi * 16 + lo);
            i += 2;
        }
        if (c < 0x20 || c == 0x7f)
            return false;
        out->push_back(static_cast<char>(c));
    }
    if (!utf8_ok(*out))
        return false;
    std::string folder = *out;
    if (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.size() > kMaxDrivePath)
        return false;
    if (folder == "/")
        return true;
    size_t start = 1;
    while (start <= folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos)
            end = folder.size();
        std::string part = folder.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

bool decode_query(const char *raw, std::string *out, bool plus_kept) {
    out->clear();
    for (size_t i = 0; raw[i]; i++) {
        char c = raw[i];
        if (c == '+' || c == ' ') {
            c = plus_kept ? '+' : ' ';
        } else if (c == '%') {
            int hi = raw[i + 1] ? hex_value(raw[i + 1]) : -1;
            int lo = hi >= 0 && raw[i + 2] ? hex_value(raw[i + 2]) : -1;
            if (hi < 0 || lo < 0 || (hi == 0 && lo == 0))
                return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        out->push_back(c);
    }
    return true;
}

bool loopback_host(const char *value, uint16_t port) {
    if (!value)
        return false;
    std::string host = value, port_text;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos)
            return false;
        port_text = host.substr(close + 1);
        host = host.substr(1, close - 1);
        in6_addr a6;
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1 || !IN6_IS_ADDR_LOOPBACK(&a6))
            return false;
    } else {
        size_t colon = host.rfind(':');
        if (colon != std::string::npos) {
            port_text = host.substr(colon);
            host.resize(colon);
        }
        for (char &c : host)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        in_addr a4;
        bool ok = host == "localhost" ||
                  (inet_pton(AF_INET, host.c_str(), &a4) == 1 && (ntohl(a4.s_addr) >> 24) == 127);
        if (!ok)
            return false;
    }
    if (port_text.empty())
        return port == 80;
    return port_text == ":" + std::to_string(port);
}

bool page_number(const char *raw, size_t *out) {
    size_t n = 0;
    if (!raw || !*raw)
        return false;
    for (const char *c = raw; *c; c++) {
        if (*c < '0' || *c > '9')
            return false;
        n = n * 10 + static_cast<size_t>(*c - '0');
        if (n > 1000000)
            return false;
    }
    if (n == 0)
        return false;
    *out = n;
    return true;
}

std::string client_key(const sockaddr *a) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a && a->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a)->sin_addr, text, sizeof text);
    } else if (a && a->sa_family == AF_INET6) {
        in6_addr v6 = reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            inet_ntop(AF_INET, v6.s6_addr + 12, text, sizeof text);
        } else {
            std::memset(v6.s6_addr + 8, 0, 8);
            inet_ntop(AF_INET6, &v6, text, sizeof text);
        }
    }
    return text[0] ? text : "?";
}

bool content_range(const std::string &value, long long *first, long long *last) {
    const char *p = value.c_str();
    auto number = [&p](long long *out) {
        if (*p < '0' || *p > '9')
            return false;
        errno = 0;
        char *end = nullptr;
        *out = std::strtoll(p, &end, 10);
        p = end;
        return errno != ERANGE;
    };
    long long f = 0, l = 0;
    if (std::strncmp(p, "bytes ", 6) != 0)
        return false;
    p += 6;
    if (!number(&f) || *p++ != '-' || !number(&l) || *p != '/' || l < f)
        return false;
    *first = f;
    *last = l;
    return true;
}

bool header_line(const std::string &line, size_t max_value, std::string *name, std::string *value) {
    for (unsigned char c : line)
        if (c < 0x20 || c == 0x7f)
            return false;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    size_t b = line.find_first_not_of(" \t", colon + 1);
    std::string v = b == std::string::npos ? std::string() : line.substr(b);
    if (v.size() > max_value)
        return false;
    *name = line.substr(0, colon);
    for (char &c : *name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    *value = std::move(v);
    return true;
}

} // namespace cli
