// UTF-8, drive path and item id checks, last component and name cleaning.
#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "text/text.h"

namespace {

int utf8(const std::string &s) {
    return nimbus_utf8_ok(s.data(), s.size());
}

TEST(Validate, Utf8) {
    EXPECT_EQ(1, nimbus_utf8_ok("", 0));
    EXPECT_EQ(1, nimbus_utf8_ok(nullptr, 0));
    EXPECT_EQ(0, utf8("\xC0\x80"));
    EXPECT_EQ(0, utf8("\xC1\xBF"));
    EXPECT_EQ(0, utf8("\xE0\x9F\xBF"));     // overlong 3-byte
    EXPECT_EQ(0, utf8("\xF0\x8F\xBF\xBF")); // overlong 4-byte
    EXPECT_EQ(0, utf8("\xED\xA0\x80"));     // U+D800
    EXPECT_EQ(0, utf8("\xED\xBF\xBF"));     // U+DFFF
    EXPECT_EQ(1, utf8("\xED\x9F\xBF"));     // U+D7FF
    EXPECT_EQ(1, utf8("\xEE\x80\x80"));     // U+E000
    EXPECT_EQ(1, utf8("\xF4\x8F\xBF\xBF")); // U+10FFFF
    EXPECT_EQ(0, utf8("\xF4\x90\x80\x80"));
    EXPECT_EQ(0, utf8("\xF7\xBF\xBF\xBF"));
    EXPECT_EQ(0, utf8("ab\xE2\x82"));
    EXPECT_EQ(1, utf8("ab\xE2\x82\xAC"));
    EXPECT_EQ(0, utf8("\x80"));
    EXPECT_EQ(0, utf8("\xBF"));
    EXPECT_EQ(0, utf8("\xF8\x88\x80\x80\x80"));
    EXPECT_EQ(0, utf8("\xFF"));
    EXPECT_EQ(0, utf8("\xC3\x28")); // continuation byte out of range
    EXPECT_EQ(1, utf8(std::string("a\0b", 3)));
    EXPECT_EQ(1, utf8("\xC2\x80"));
    EXPECT_EQ(1, utf8("\xDF\xBF"));
    EXPECT_EQ(1, utf8("\xE0\xA0\x80"));
    EXPECT_EQ(1, utf8("\xF0\x90\x80\x80"));
    // The length bounds the check: a sequence cut by the range is invalid.
    EXPECT_EQ(0, nimbus_utf8_ok("\xC3\xA9", 1));
    EXPECT_EQ(1, nimbus_utf8_ok("\xC3\xA9\xFF", 2));
}

// Each longest start of a sequence that cannot be completed, each stray
// byte and each encoded surrogate become one U+FFFD; the rest stays.
TEST(Validate, Utf8Repair) {
    const std::string R = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"plain \xC3\xA9 \xF0\x9F\x8E\xB5", "plain \xC3\xA9 \xF0\x9F\x8E\xB5"},
        {"a\xFF"
         "b",
         "a" + R + "b"},
        {"\x80\x80", R + R},
        {"\xC0\x80", R + R},    // overlong: no sequence starts with C0
        {"\xE2\x82", R},        // cut short at the end
        {"\xE2\x82(", R + "("}, // cut short by an ASCII byte
        {"\xF0\x9F\x8E(", R + "("},
        {"\xF4\x90\x80\x80", R + R + R + R}, // above U+10FFFF
        {"\xED\xB3\xBF", R},                 // an encoded lone surrogate
        {"\xED\xA0\x80\xED\xB0\x80", R + R}, // an encoded pair is two
        {"\xED\xA0", R},
        {std::string("a\0\xFF", 3), std::string("a\0", 2) + R},
    };
    for (const auto &c : cases) {
        size_t n = nimbus_utf8_repair(nullptr, c.first.data(), c.first.size());
        std::string out(3 * c.first.size() + 1, '*');
        EXPECT_EQ(nimbus_utf8_repair(&out[0], c.first.data(), c.first.size()), n);
        out.resize(n);
        EXPECT_EQ(out, c.second) << c.first;
        EXPECT_TRUE(utf8(out));
    }
}

TEST(Validate, DrivePath) {
    EXPECT_EQ(1, nimbus_path_ok("/"));
    EXPECT_EQ(1, nimbus_path_ok("/Music"));
    EXPECT_EQ(1, nimbus_path_ok("/a//b"));
    EXPECT_EQ(1, nimbus_path_ok("/.hidden"));
    EXPECT_EQ(1, nimbus_path_ok("/..."));
    EXPECT_EQ(1, nimbus_path_ok("/a/.b/..c/c.."));
    EXPECT_EQ(0, nimbus_path_ok(nullptr));
    EXPECT_EQ(0, nimbus_path_ok(""));
    EXPECT_EQ(0, nimbus_path_ok("Music"));
    EXPECT_EQ(0, nimbus_path_ok("/Music/"));
    EXPECT_EQ(0, nimbus_path_ok("//"));
    EXPECT_EQ(0, nimbus_path_ok("/a/./b"));
    EXPECT_EQ(0, nimbus_path_ok("/a/../b"));
    EXPECT_EQ(0, nimbus_path_ok("/."));
    EXPECT_EQ(0, nimbus_path_ok("/.."));
    EXPECT_EQ(0, nimbus_path_ok("/a/.."));
    EXPECT_EQ(0, nimbus_path_ok("/a\tb"));
    EXPECT_EQ(0, nimbus_path_ok("/a\x7F"));
    EXPECT_EQ(0, nimbus_path_ok("/a\x01"));
    EXPECT_EQ(0, nimbus_path_ok("/a\x1F"));
    EXPECT_EQ(1, nimbus_path_ok("/a b!#?%"));
    EXPECT_EQ(1, nimbus_path_ok("/caf\xC3\xA9"));
    EXPECT_EQ(0, nimbus_path_ok("/\xC3"));

    std::string p2048 = "/" + std::string(2047, 'p');
    EXPECT_EQ(1, nimbus_path_ok(p2048.c_str()));
    std::string p2049 = "/" + std::string(2048, 'p');
    EXPECT_EQ(0, nimbus_path_ok(p2049.c_str()));
}

TEST(Validate, ItemId) {
    EXPECT_EQ(0, nimbus_item_id_ok(nullptr));
    EXPECT_EQ(0, nimbus_item_id_ok(""));
    EXPECT_EQ(0, nimbus_item_id_ok("/x"));
    EXPECT_EQ(0, nimbus_item_id_ok("a..b"));
    EXPECT_EQ(0, nimbus_item_id_ok(".."));
    EXPECT_EQ(0, nimbus_item_id_ok("ab.."));
    EXPECT_EQ(1, nimbus_item_id_ok("a.b"));
    EXPECT_EQ(1, nimbus_item_id_ok("."));
    EXPECT_EQ(1, nimbus_item_id_ok("a/b"));
    EXPECT_EQ(1, nimbus_item_id_ok("a b"));
    EXPECT_EQ(1, nimbus_item_id_ok("01BYE5RZ!123?#%\xFF"));
    EXPECT_EQ(0, nimbus_item_id_ok("a\tb"));
    EXPECT_EQ(0, nimbus_item_id_ok("a\x7F"));
    EXPECT_EQ(0, nimbus_item_id_ok("\x01"));
    std::string id2048(2048, 'i');
    EXPECT_EQ(1, nimbus_item_id_ok(id2048.c_str()));
    std::string id2049(2049, 'i');
    EXPECT_EQ(0, nimbus_item_id_ok(id2049.c_str()));
}

TEST(Validate, Basename) {
    const char *abc = "a/b/c";
    EXPECT_EQ(abc + 4, nimbus_basename(abc));
    const char *plain = "abc";
    EXPECT_EQ(plain, nimbus_basename(plain));
    EXPECT_STREQ("", nimbus_basename("abc/"));
    EXPECT_STREQ("", nimbus_basename(nullptr));
    EXPECT_STREQ("x", nimbus_basename("/x"));
}

std::string clean(const char *name, const char *fallback) {
    nimbus_buf b{};
    EXPECT_EQ(0, nimbus_name_clean(&b, name, fallback));
    std::string r = b.data ? std::string(b.data, b.len) : std::string("<null>");
    nimbus_buf_free(&b);
    return r;
}

TEST(Validate, NameClean) {
    EXPECT_EQ("AC\xE2\x88\x95"
              "DC",
              clean("AC/DC", "fb"));
    EXPECT_EQ("a_b", clean("a\tb", "fb"));
    EXPECT_EQ("_x_y_", clean("\x01x\x7Fy\x1F", "fb"));
    // The printable ASCII range ends at space and '~' on either side.
    EXPECT_EQ(" a~", clean(" a~", "fb"));
    EXPECT_EQ("a_", clean("a\x7F", "fb"));
    EXPECT_EQ("a_", clean("a\x1F", "fb"));
    EXPECT_EQ("caf\xC3\xA9 !", clean("caf\xC3\xA9 !", "fb"));
    EXPECT_EQ("fb", clean(".", "fb"));
    EXPECT_EQ("fb", clean("..", "fb"));
    EXPECT_EQ("...", clean("...", "fb"));
    EXPECT_EQ("fb", clean("", "fb"));
    EXPECT_EQ("fb", clean(nullptr, "fb"));
    EXPECT_EQ("fb", clean("a\xFF", "fb"));
    std::string n1024(1024, 'n');
    EXPECT_EQ(n1024, clean(n1024.c_str(), "fb"));
    std::string n1025(1025, 'n');
    EXPECT_EQ("fb", clean(n1025.c_str(), "fb"));
    EXPECT_EQ("item", clean(nullptr, nullptr));
    EXPECT_EQ("item", clean("..", ""));
    // The fallback is cleaned like a name, and unusable gives "item".
    EXPECT_EQ("a\xE2\x88\x95"
              "b_",
              clean("..", "a/b\x01"));
    EXPECT_EQ("item", clean(nullptr, ".."));
    EXPECT_EQ("item", clean("", "."));
    EXPECT_EQ("item", clean("\xC0", "\xFF"));
    // 1024 slashes grow to three times their length.
    std::string slashes(1024, '/');
    std::string grown;
    for (int i = 0; i < 1024; i++)
        grown += "\xE2\x88\x95";
    EXPECT_EQ(grown, clean(slashes.c_str(), "fb"));
    // Long names are looked at a word at a time: an odd byte is found at
    // every position, whichever byte of a word it is.
    for (size_t at = 0; at < 24; at++) {
        for (char odd : {'/', '\x1F', '\x7F'}) {
            std::string name(24, 'a');
            name[at] = odd;
            std::string want(24, 'a');
            want.replace(at, 1, odd == '/' ? "\xE2\x88\x95" : "_");
            EXPECT_EQ(want, clean(name.c_str(), "fb")) << at;
        }
    }

    // Appends after existing content.
    nimbus_buf b{};
    ASSERT_EQ(0, nimbus_buf_adds(&b, "/dir/"));
    ASSERT_EQ(0, nimbus_name_clean(&b, "x/y", nullptr));
    EXPECT_EQ("/dir/x\xE2\x88\x95y", std::string(b.data, b.len));
    nimbus_buf_free(&b);
}

} // namespace
