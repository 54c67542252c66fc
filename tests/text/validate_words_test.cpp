// The word-at-a-time UTF-8 check and name cleaning against their byte-by-byte
// forms, kept here as they were, over many random names.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "text/text.h"

namespace {

bool control(unsigned char c) {
    return (c >= 0x01 && c <= 0x1F) || c == 0x7F;
}

int bytewise_utf8_ok(const char *bytes, size_t n) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes);
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t len;
        uint32_t value, least;
        if (c >= 0xC0 && c <= 0xDF) {
            len = 2, value = c & 0x1Fu, least = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, value = c & 0x0Fu, least = 0x800;
        } else if (c >= 0xF0 && c <= 0xF7) {
            len = 4, value = c & 0x07u, least = 0x10000;
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

std::string bytewise_clean(const char *name, const char *fallback) {
    size_t n = name ? std::strlen(name) : 0;
    bool usable = n >= 1 && n <= 1024 && bytewise_utf8_ok(name, n) && std::strcmp(name, ".") != 0 &&
                  std::strcmp(name, "..") != 0;
    if (!usable)
        return fallback && *fallback ? fallback : "item";
    std::string out;
    for (const char *p = name; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '/')
            out += "\xE2\x88\x95";
        else if (control(c))
            out += '_';
        else
            out += static_cast<char>(c);
    }
    return out;
}

// Names made of pieces that meet the word boundaries at every offset: ASCII
// runs, accents, slashes, control bytes, DEL, stray and truncated sequences,
// surrogates and overlong forms.
std::string random_name(std::mt19937 &gen) {
    static const char *const pieces[] = {"a",
                                         "Ab",
                                         "Live at",
                                         "01 - ",
                                         "Café",
                                         "Ø",
                                         "\xE2\x88\x95",
                                         "\xF0\x9F\x8E\xB5",
                                         "/",
                                         "\x01",
                                         "\x1F",
                                         "\x7F",
                                         "\t",
                                         " ",
                                         ".",
                                         "\x80",
                                         "\xC3",
                                         "\xE2\x88",
                                         "\xED\xA0\x80",
                                         "\xC0\xAF",
                                         "\xF4\x90\x80\x80",
                                         "\xFF",
                                         "0123456789abcdef",
                                         "~!@#$%^&*()"};
    std::string s;
    size_t n = gen() % 12;
    for (size_t i = 0; i < n; i++) {
        size_t k = gen() % (sizeof pieces / sizeof pieces[0]);
        // Mostly the well-formed pieces, so that many names pass the check.
        if (k >= 9 && gen() % 4 != 0)
            k = gen() % 9;
        s += pieces[k];
    }
    return s;
}

TEST(ValidateWords, Utf8AgreesWithTheBytewiseCheck) {
    std::mt19937 gen(2);
    for (int i = 0; i < 200000; i++) {
        std::string s = random_name(gen);
        ASSERT_EQ(nimbus_utf8_ok(s.data(), s.size()), bytewise_utf8_ok(s.data(), s.size())) << s;
        // Embedded NULs are plain bytes to the check.
        if (!s.empty()) {
            s[gen() % s.size()] = '\0';
            ASSERT_EQ(nimbus_utf8_ok(s.data(), s.size()), bytewise_utf8_ok(s.data(), s.size()));
        }
    }
    // Every single byte at every offset of a 24-byte ASCII run.
    for (int c = 0; c < 256; c++)
        for (size_t at = 0; at < 24; at++) {
            std::string s(24, 'x');
            s[at] = static_cast<char>(c);
            ASSERT_EQ(nimbus_utf8_ok(s.data(), s.size()), bytewise_utf8_ok(s.data(), s.size()))
                << c << " at " << at;
        }
}

TEST(ValidateWords, NameCleanAgreesWithTheBytewiseForm) {
    std::mt19937 gen(3);
    for (int i = 0; i < 200000; i++) {
        std::string s = random_name(gen);
        if (gen() % 500 == 0)
            s = std::string(1000 + gen() % 50, 'n'); // about the 1024-byte limit
        nimbus_buf b{};
        ASSERT_EQ(nimbus_buf_add(&b, "/p/", 3), 0);
        ASSERT_EQ(nimbus_name_clean(&b, s.c_str(), "fb"), 0);
        ASSERT_EQ(std::string(b.data, b.len), "/p/" + bytewise_clean(s.c_str(), "fb")) << s;
        nimbus_buf_free(&b);
    }
    for (int c = 1; c < 256; c++)
        for (size_t at = 0; at < 24; at++) {
            std::string s(24, 'x');
            s[at] = static_cast<char>(c);
            nimbus_buf b{};
            ASSERT_EQ(nimbus_name_clean(&b, s.c_str(), nullptr), 0);
            ASSERT_EQ(std::string(b.data, b.len), bytewise_clean(s.c_str(), nullptr))
                << c << " at " << at;
            nimbus_buf_free(&b);
        }
}

} // namespace
