// Growable buffer, string copies and the JSON / percent encoders.
#include <cstring>
#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "text/text.h"

namespace {

std::string content(const nimbus_buf &b) {
    return std::string(b.data, b.len);
}

TEST(Buf, ZeroByteAppendAllocatesAnEmptyString) {
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_add(&b, "", 0));
    ASSERT_NE(nullptr, b.data);
    EXPECT_EQ(0u, b.len);
    EXPECT_EQ(256u, b.cap);
    EXPECT_STREQ("", b.data);
    nimbus_buf_free(&b);
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0u, b.len);
    EXPECT_EQ(0u, b.cap);
    nimbus_buf_free(&b); // harmless twice
}

TEST(Buf, NullStringAndEmptyPathLeaveTheBufferUntouched) {
    nimbus_buf b{};
    EXPECT_EQ(0, nimbus_buf_adds(&b, nullptr));
    EXPECT_EQ(0, nimbus_buf_addpath(&b, ""));
    EXPECT_EQ(0, nimbus_buf_addpath(&b, nullptr));
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0u, b.len);
    EXPECT_EQ(0u, b.cap);
}

TEST(Buf, CapacityDoublesFrom256) {
    std::string s(4096, 'x');
    {
        nimbus_buf b{};
        ASSERT_EQ(0, nimbus_buf_add(&b, s.data(), 255));
        EXPECT_EQ(256u, b.cap);
        EXPECT_EQ(255u, b.len);
        EXPECT_EQ('\0', b.data[255]);
        nimbus_buf_free(&b);
    }
    {
        nimbus_buf b{};
        ASSERT_EQ(0, nimbus_buf_add(&b, s.data(), 256));
        EXPECT_EQ(512u, b.cap);
        EXPECT_EQ('\0', b.data[256]);
        nimbus_buf_free(&b);
    }
    {
        nimbus_buf b{};
        ASSERT_EQ(0, nimbus_buf_add(&b, s.data(), 200));
        EXPECT_EQ(256u, b.cap);
        ASSERT_EQ(0, nimbus_buf_add(&b, s.data(), 400));
        EXPECT_EQ(1024u, b.cap);
        EXPECT_EQ(600u, b.len);
        EXPECT_EQ(s.substr(0, 600), content(b));
        nimbus_buf_free(&b);
    }
    {
        // Filling exactly to cap - 1 does not grow; one more byte doubles.
        nimbus_buf b{};
        ASSERT_EQ(0, nimbus_buf_add(&b, s.data(), 511));
        EXPECT_EQ(512u, b.cap);
        ASSERT_EQ(0, nimbus_buf_add(&b, "y", 1));
        EXPECT_EQ(1024u, b.cap);
        nimbus_buf_free(&b);
    }
}

TEST(Buf, OversizedAppendFailsAndLeavesTheBufferAsItWas) {
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_adds(&b, "abc"));
    EXPECT_EQ(-1, nimbus_buf_add(&b, "x", SIZE_MAX));
    EXPECT_EQ(-1, nimbus_buf_add(&b, "x", SIZE_MAX - 3));
    EXPECT_EQ(-1, nimbus_buf_add(&b, "x", SIZE_MAX / 2));
    EXPECT_EQ("abc", content(b));
    EXPECT_EQ(256u, b.cap);
    // A capacity whose top bit is set cannot double any further.
    nimbus_buf huge{nullptr, (size_t{1} << 63) + 5, size_t{1} << 63};
    EXPECT_EQ(-1, nimbus_buf_add(&huge, "x", 10));
    nimbus_buf_free(&b);
}

TEST(Buf, EmbeddedNulBytesAreCounted) {
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_add(&b, "a\0b", 3));
    EXPECT_EQ(3u, b.len);
    EXPECT_EQ(std::string("a\0b", 3), content(b));
    EXPECT_STREQ("a", b.data);
    nimbus_buf_free(&b);
}

TEST(Buf, FormattedAppendAtAndPastTheScratchSize) {
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_addf(&b, "%d-%s-%lld-%u-%ld", -5, "x", 9000000000LL, 7u, -3L));
    EXPECT_EQ("-5-x-9000000000-7--3", content(b));
    nimbus_buf_free(&b);

    std::string s511(511, 'a');
    ASSERT_EQ(0, nimbus_buf_addf(&b, "%s", s511.c_str()));
    EXPECT_EQ(s511, content(b));
    nimbus_buf_free(&b);

    std::string s512(512, 'b');
    ASSERT_EQ(0, nimbus_buf_addf(&b, "%s", s512.c_str()));
    EXPECT_EQ(s512, content(b));
    nimbus_buf_free(&b);

    std::string s4000(3992, 'c');
    ASSERT_EQ(0, nimbus_buf_addf(&b, "<%s|%05d>", s4000.c_str(), 42));
    EXPECT_EQ(4000u, b.len);
    EXPECT_EQ("<" + s4000 + "|00042>", content(b));
    nimbus_buf_free(&b);

    ASSERT_EQ(0, nimbus_buf_addf(&b, "%s", ""));
    EXPECT_NE(nullptr, b.data);
    EXPECT_EQ(0u, b.len);
    nimbus_buf_free(&b);
}

TEST(Buf, FormattingErrorFails) {
    // A wide character the C locale cannot encode makes printf fail.
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_adds(&b, "kept"));
    EXPECT_EQ(-1, nimbus_buf_addf(&b, "%lc", static_cast<wint_t>(0x20AC)));
    EXPECT_EQ("kept", content(b));
    nimbus_buf_free(&b);
}

TEST(Buf, JsonStringLiteral) {
    auto json = [](const char *s) {
        nimbus_buf b{};
        EXPECT_EQ(0, nimbus_buf_json_str(&b, s));
        std::string r = content(b);
        nimbus_buf_free(&b);
        return r;
    };
    EXPECT_EQ("null", json(nullptr));
    EXPECT_EQ("\"\"", json(""));
    EXPECT_EQ("\"\\u0008\\u000c\\t\\u007f\"", json("\b\f\t\x7f"));
    EXPECT_EQ("\"a/b\"", json("a/b"));
    EXPECT_EQ("\"\\\"q\\\" \\\\ \\n\\r\"", json("\"q\" \\ \n\r"));
    EXPECT_EQ("\"\\u0001\\u000b\\u000e\\u001f \"", json("\x01\x0b\x0e\x1f "));
    EXPECT_EQ("\"caf\xC3\xA9 \xFF\"", json("caf\xC3\xA9 \xFF"));
    EXPECT_EQ("\"\xC3\"", json("\xC3")); // invalid UTF-8 passes through

    // Appends to existing content.
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_adds(&b, "{\"k\":"));
    ASSERT_EQ(0, nimbus_buf_json_str(&b, "v"));
    EXPECT_EQ("{\"k\":\"v\"", content(b));
    nimbus_buf_free(&b);
}

TEST(Buf, QueryField) {
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_query(&b, "a", "x y"));
    EXPECT_EQ("?a=x%20y", content(b));
    ASSERT_EQ(0, nimbus_buf_query(&b, "a", nullptr));
    EXPECT_EQ("?a=x%20y&a=", content(b));
    ASSERT_EQ(0, nimbus_buf_query(&b, "b", ""));
    ASSERT_EQ(0, nimbus_buf_query(&b, nullptr, "v"));
    ASSERT_EQ(0, nimbus_buf_query(&b, "$n+", "+%&=/"));
    EXPECT_EQ("?a=x%20y&a=&b=&=v&$n+=%2B%25%26%3D%2F", content(b));
    nimbus_buf_free(&b);

    // The token form starts with a fixed field; later fields use '&'.
    ASSERT_EQ(0, nimbus_buf_adds(&b, "grant_type=refresh_token"));
    ASSERT_EQ(0, nimbus_buf_query(&b, "scope", "offline_access Files.Read.All"));
    EXPECT_EQ("grant_type=refresh_token&scope=offline_access%20Files.Read.All", content(b));
    nimbus_buf_free(&b);
}

TEST(Buf, PercentEncodedText) {
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_addq(&b, "a b+c/~\xC3\xA9"));
    EXPECT_EQ("a%20b%2Bc%2F~%C3%A9", content(b));
    nimbus_buf_free(&b);

    // Empty and null texts still make a zero-byte append.
    ASSERT_EQ(0, nimbus_buf_addq(&b, nullptr));
    EXPECT_NE(nullptr, b.data);
    EXPECT_EQ(256u, b.cap);
    EXPECT_EQ(0u, b.len);
    nimbus_buf_free(&b);
    ASSERT_EQ(0, nimbus_buf_addq(&b, ""));
    EXPECT_NE(nullptr, b.data);
    nimbus_buf_free(&b);

    // Every byte value: unreserved bytes as they are, others as %XX.
    std::string all;
    for (int c = 1; c < 256; c++)
        all.push_back(static_cast<char>(c));
    ASSERT_EQ(0, nimbus_buf_addq(&b, all.c_str()));
    std::string want;
    for (int c = 1; c < 256; c++) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '~';
        if (keep) {
            want.push_back(static_cast<char>(c));
        } else {
            char tmp[4];
            std::snprintf(tmp, sizeof tmp, "%%%02X", c);
            want += tmp;
        }
    }
    EXPECT_EQ(want, content(b));
    EXPECT_EQ(66u * 1 + (255u - 66u) * 3, b.len);
    nimbus_buf_free(&b);
}

TEST(Buf, DrivePath) {
    auto path = [](const char *p) {
        nimbus_buf b{};
        EXPECT_EQ(0, nimbus_buf_addpath(&b, p));
        std::string r = b.data ? content(b) : std::string("<null>");
        nimbus_buf_free(&b);
        return r;
    };
    EXPECT_EQ("/Music/Live%20%26%20Loud", path("/Music/Live & Loud"));
    EXPECT_EQ("/a%20b//c/", path("/a b//c/"));
    EXPECT_EQ("x", path("x"));
    EXPECT_EQ("/", path("/"));
    EXPECT_EQ("///", path("///"));
    EXPECT_EQ("%C3%A9t%C3%A9/%25", path("\xC3\xA9t\xC3\xA9/%"));
    EXPECT_EQ("<null>", path(""));
}

TEST(Buf, StringCopies) {
    char *p = nimbus_strndup("a\0b", 3);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, std::memcmp(p, "a\0b\0", 4));
    EXPECT_STREQ("a", p);
    std::free(p);

    p = nimbus_strndup("xyz", 0);
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("", p);
    std::free(p);

    p = nimbus_strdup("hello");
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("hello", p);
    std::free(p);

    EXPECT_EQ(nullptr, nimbus_strdup(nullptr));
    EXPECT_EQ(nullptr, nimbus_strndup(nullptr, 3));
    EXPECT_EQ(nullptr, nimbus_strndup("x", SIZE_MAX));
}

TEST(Buf, GuardReleasesAndTakeoverWorks) {
    nimbus_buf b{};
    {
        nimbus_buf_guard g{&b};
        ASSERT_EQ(0, nimbus_buf_adds(&b, "taken"));
    }
    EXPECT_EQ(nullptr, b.data);

    nimbus_buf c{};
    ASSERT_EQ(0, nimbus_buf_adds(&c, "owned"));
    nimbus_str owned(c.data);
    c = nimbus_buf{};
    EXPECT_STREQ("owned", owned.get());
}

} // namespace
