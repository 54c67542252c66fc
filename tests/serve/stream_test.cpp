// The byte proxy's readers of client input: Range (RFC 9110 single byte
// ranges, at the bounds of a 64-bit length), the address key that bounds a
// client's streams, and the media type named by a file's extension.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "serve/media_types.h"
#include "serve/range.h"
#include "serve/request.h"

namespace {

using cli::range_ask;

// The Range value passed on, "whole" or "several".
std::string passed(const char *value) {
    cli::byte_range r;
    switch (cli::read_range(value, &r)) {
    case range_ask::one:
        return cli::range_value(r);
    case range_ask::several:
        return "several";
    default:
        return "whole";
    }
}

TEST(Range, OneRangeIsNormalised) {
    EXPECT_EQ(passed("bytes=0-499"), "bytes=0-499");
    EXPECT_EQ(passed("bytes=5-5"), "bytes=5-5");
    EXPECT_EQ(passed("bytes=500-"), "bytes=500-");
    EXPECT_EQ(passed("bytes=-500"), "bytes=-500");
    EXPECT_EQ(passed("bytes=-0"), "bytes=-0"); // valid, and unsatisfiable: the service says 416
    EXPECT_EQ(passed("Bytes=007-010"), "bytes=7-10");
    EXPECT_EQ(passed(" bytes=1-2\t"), "bytes=1-2");
    EXPECT_EQ(passed("bytes=,1-2,"), "bytes=1-2"); // empty list elements count for nothing
}

TEST(Range, InvalidIsIgnored) {
    for (const char *bad :
         {"",           "bytes",       "bytes=",     "bytes=,",       "bytes=-",
          "bytes=9-0",  "bytes=1-2-3", "bytes=a-b",  "bytes=1",       "bytes= 1-2",
          "bytes=1 -2", "bytes=1- 2",  "bytes =1-2", "bytes=1-2 3-4", "bytes=0x1-2",
          "bytes=+1-2", "bytes=1-2;",  "items=1-2",  "bytes=0-1,9-0", "bytes=1-2,x"})
        EXPECT_EQ(passed(bad), "whole") << bad;
    cli::byte_range r;
    EXPECT_EQ(cli::read_range(nullptr, &r), range_ask::whole);
}

TEST(Range, SeveralAreAnsweredWhole) {
    EXPECT_EQ(passed("bytes=0-1,5-9"), "several");
    EXPECT_EQ(passed("bytes=0-1 , -5"), "several");
    EXPECT_EQ(passed("bytes=0-1,0-1"), "several");
}

TEST(Range, BoundsOfA64BitLength) {
    // 2^63-1 is read as it is; one past it is held there: a first byte no
    // file reaches, a last byte meaning the end, a suffix meaning all.
    EXPECT_EQ(passed("bytes=9223372036854775806-"), "bytes=9223372036854775806-");
    EXPECT_EQ(passed("bytes=9223372036854775807-"), "bytes=9223372036854775807-");
    EXPECT_EQ(passed("bytes=9223372036854775808-"), "bytes=9223372036854775807-");
    EXPECT_EQ(passed("bytes=99999999999999999999-"), "bytes=9223372036854775807-");
    EXPECT_EQ(passed("bytes=0-9223372036854775806"), "bytes=0-9223372036854775806");
    EXPECT_EQ(passed("bytes=0-9223372036854775808"), "bytes=0-");
    EXPECT_EQ(passed("bytes=0-99999999999999999999"), "bytes=0-");
    EXPECT_EQ(passed("bytes=-9223372036854775807"), "bytes=-9223372036854775807");
    EXPECT_EQ(passed("bytes=-9223372036854775808"), "bytes=-9223372036854775807");
    EXPECT_EQ(passed("bytes=99999999999999999999-5"), "whole"); // reversed
    long long n = -1;
    EXPECT_TRUE(cli::unsatisfied_length("bytes */9223372036854775806", &n));
    EXPECT_EQ(n, 9223372036854775806LL);
    for (const char *bad : {"bytes */9223372036854775807", "bytes */99999999999999999999",
                            "bytes */", "bytes */-1", "bytes */1 ", "bytes 0-1/2", "bytes */*"})
        EXPECT_FALSE(cli::unsatisfied_length(bad, &n)) << bad;
}

std::string key_of(int family, const char *text) {
    sockaddr_storage a{};
    if (family == AF_INET) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&a);
        v4->sin_family = AF_INET;
        inet_pton(AF_INET, text, &v4->sin_addr);
    } else {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a);
        v6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &v6->sin6_addr);
    }
    return cli::client_key(reinterpret_cast<sockaddr *>(&a));
}

TEST(ClientKey, AddressOrSlash64) {
    EXPECT_EQ(key_of(AF_INET, "192.168.1.5"), "192.168.1.5");
    EXPECT_NE(key_of(AF_INET, "192.168.1.5"), key_of(AF_INET, "192.168.1.6"));
    EXPECT_EQ(key_of(AF_INET6, "::ffff:192.168.1.5"), "192.168.1.5");
    EXPECT_EQ(key_of(AF_INET6, "2001:db8:1:2:aaaa::1"), key_of(AF_INET6, "2001:db8:1:2::ffff"));
    EXPECT_NE(key_of(AF_INET6, "2001:db8:1:2::1"), key_of(AF_INET6, "2001:db8:1:3::1"));
    EXPECT_EQ(cli::client_key(nullptr), "?");
}

TEST(MediaType, PassiveTypesOnly) {
    for (const char *shown : {"audio/flac", "video/x-matroska", "image/jpeg", "text/plain",
                              "application/x-subrip", "text/vtt"})
        EXPECT_EQ(cli::served_type(shown), shown);
    EXPECT_EQ(cli::served_type("Video/MP4"), "video/mp4");
    for (const char *active :
         {"text/html", "image/svg+xml", "application/xhtml+xml", "text/xml", "application/pdf",
          "text/javascript", "application/octet-stream", "text/plain; charset=utf-8",
          "text/plain\r\nX: y", "audio/", "/mp4", "video", ""})
        EXPECT_EQ(cli::served_type(active), cli::kUnknownMediaType) << active;
}

} // namespace
