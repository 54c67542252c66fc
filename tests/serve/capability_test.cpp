// The gateway's capability URLs (tools/serve/capability.*): bound to one
// path and an expiry, refused one second past it, on a path one byte off,
// with a changed MAC or secret, and in every malformed shape.
#include "serve/capability.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kSecret = "a+secret/of=24-characters";
const long long kNow = 1700000000; // 2023-11-14 22:13:20 UTC

std::string value_of(const std::string &suffix) {
    EXPECT_EQ(suffix.compare(0, 2, "c="), 0) << suffix;
    return suffix.substr(2);
}

TEST(Capability, LivesADayRoundedUpToTheHour) {
    cli::capability_key key(kSecret);
    ASSERT_TRUE(key.enabled());
    std::string c = value_of(key.suffix("/Music/a.flac", kNow));
    long long expiry = 0;
    std::string mac;
    ASSERT_TRUE(cli::parse_capability(c.c_str(), &expiry, &mac));
    EXPECT_EQ(expiry % cli::kCapabilityStep, 0);
    EXPECT_GE(expiry, kNow + cli::kCapabilityLife);
    EXPECT_LT(expiry, kNow + cli::kCapabilityLife + cli::kCapabilityStep);
    EXPECT_EQ(mac.size(), 43u);
    // The same URL for the rest of the hour.
    EXPECT_EQ(key.suffix("/Music/a.flac", expiry - cli::kCapabilityLife), "c=" + c);

    EXPECT_TRUE(key.allows("/Music/a.flac", c.c_str(), kNow));
    EXPECT_TRUE(key.allows("/Music/a.flac", c.c_str(), expiry));
    EXPECT_FALSE(key.allows("/Music/a.flac", c.c_str(), expiry + 1));
}

TEST(Capability, BoundToOnePathAndOneSecret) {
    cli::capability_key key(kSecret);
    std::string c = value_of(key.suffix("/Music/a.flac", kNow));
    for (const char *other : {"/Music/a.flaC", "/Music/a.flac/", "/Music/a.fla", "/Music/a.flacc",
                              "/Music/", "/music/a.flac", ""})
        EXPECT_FALSE(key.allows(other, c.c_str(), kNow)) << other;
    // A capability outlives a restart with the same secret, not a new secret.
    EXPECT_TRUE(cli::capability_key(kSecret).allows("/Music/a.flac", c.c_str(), kNow));
    EXPECT_FALSE(cli::capability_key(kSecret + "x").allows("/Music/a.flac", c.c_str(), kNow));

    std::string tampered = c;
    tampered.back() = tampered.back() == 'A' ? 'B' : 'A';
    EXPECT_FALSE(key.allows("/Music/a.flac", tampered.c_str(), kNow));
    // A later expiry with the old MAC.
    std::string later =
        std::to_string(std::stoll(c) + cli::kCapabilityStep) + c.substr(c.find('.'));
    EXPECT_FALSE(key.allows("/Music/a.flac", later.c_str(), kNow));
}

TEST(Capability, NoSecretNoCapability) {
    cli::capability_key none("");
    EXPECT_FALSE(none.enabled());
    EXPECT_EQ(none.suffix("/a.mp3", kNow), "");
    std::string c = value_of(cli::capability_key(kSecret).suffix("/a.mp3", kNow));
    EXPECT_FALSE(none.allows("/a.mp3", c.c_str(), kNow));
}

TEST(Capability, MalformedValuesAreRefused) {
    cli::capability_key key(kSecret);
    std::string c = value_of(key.suffix("/a.mp3", kNow));
    std::string expiry = c.substr(0, c.find('.')), mac = c.substr(c.find('.') + 1);
    const std::string bad[] = {"",
                               ".",
                               expiry,
                               expiry + ".",
                               "." + mac,
                               "0" + c,
                               "+" + c,
                               "-" + c,
                               " " + c,
                               c + " ",
                               c + "=",
                               c + "A",
                               expiry + "." + mac.substr(1),
                               expiry + "." + mac.substr(0, 42) + "/",
                               expiry + "." + mac.substr(0, 42) + "+",
                               expiry + "." + mac.substr(0, 42) + "%",
                               expiry + ".." + mac,
                               "1" + std::string(11, '0') + "." + mac,
                               "9999999999x." + mac};
    for (const std::string &b : bad) {
        long long e = -1;
        std::string m = "kept";
        EXPECT_FALSE(cli::parse_capability(b.c_str(), &e, &m)) << b;
        EXPECT_TRUE(e == -1 && m == "kept") << b;
        EXPECT_FALSE(key.allows("/a.mp3", b.c_str(), kNow)) << b;
    }
    long long e = 0;
    std::string m;
    EXPECT_FALSE(cli::parse_capability(nullptr, &e, &m));
    EXPECT_TRUE(cli::parse_capability(("99999999999." + mac).c_str(), &e, &m));
    EXPECT_EQ(e, 99999999999LL);
}

} // namespace

TEST(Capability, ACoverOpensOnlyTheCover) {
    cli::capability_key key(kSecret);
    const auto cover = cli::capability_scope::cover;
    std::string file = value_of(key.suffix("/Music/a.flac", kNow));
    std::string art = value_of(key.suffix("/Music/a.flac", kNow, cover));
    EXPECT_NE(file, art);
    EXPECT_TRUE(key.allows("/Music/a.flac", art.c_str(), kNow, cover));
    EXPECT_FALSE(key.allows("/Music/a.flac", art.c_str(), kNow));
    EXPECT_FALSE(key.allows("/Music/a.flac", file.c_str(), kNow, cover));
    EXPECT_FALSE(key.allows("/Music/a.flac/", art.c_str(), kNow, cover));
    // A folder's cover: the path as the request names it, final "/" and all.
    std::string album = value_of(key.suffix("/Music/", kNow, cover));
    EXPECT_TRUE(key.allows("/Music/", album.c_str(), kNow, cover));
    EXPECT_FALSE(key.allows("/Music", album.c_str(), kNow, cover));
    EXPECT_FALSE(key.allows("/Music/", album.c_str(), kNow));
}
