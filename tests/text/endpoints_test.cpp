// Endpoints, GUIDs and ISO 8601 timestamps.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "text/text.h"

namespace {

bool guid_shape(const char *g) {
    if (std::strlen(g) != 36)
        return false;
    for (int i = 0; i < 36; i++) {
        char c = g[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-')
                return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return g[14] == '4' && std::strchr("89ab", g[19]) != nullptr;
}

TEST(Endpoints, DefaultsAndReplacement) {
    const char *graph = nimbus_graph_base();
    const char *token = nimbus_token_url();
    EXPECT_STREQ("https://graph.microsoft.com/v1.0", graph);
    EXPECT_STREQ("https://login.microsoftonline.com/common/oauth2/v2.0/token", token);

    static const char other_token[] = "http://127.0.0.1:9/token";
    nimbus_test_endpoints(nullptr, other_token);
    EXPECT_EQ(graph, nimbus_graph_base());
    EXPECT_EQ(other_token, nimbus_token_url());

    static const char other_graph[] = "http://127.0.0.1:9/v1.0";
    nimbus_test_endpoints(other_graph, nullptr);
    EXPECT_EQ(other_graph, nimbus_graph_base());
    EXPECT_EQ(other_token, nimbus_token_url());

    nimbus_test_endpoints(graph, token);
    EXPECT_EQ(graph, nimbus_graph_base());
    EXPECT_EQ(token, nimbus_token_url());
}

TEST(Guid, ArgumentsAndShape) {
    char out[64];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(0, nimbus_new_guid(out, 36));
    EXPECT_EQ(0, nimbus_new_guid(nullptr, 64));
    for (char c : out)
        ASSERT_EQ('Z', c);

    ASSERT_EQ(1, nimbus_new_guid(out, 37));
    EXPECT_TRUE(guid_shape(out)) << out;
    EXPECT_EQ('\0', out[36]);
    for (size_t i = 37; i < sizeof out; i++)
        ASSERT_EQ('Z', out[i]);

    std::set<std::string> seen;
    for (int i = 0; i < 200; i++) {
        char g[37];
        ASSERT_EQ(1, nimbus_new_guid(g, sizeof g));
        ASSERT_TRUE(guid_shape(g)) << g;
        seen.insert(g);
    }
    EXPECT_EQ(200u, seen.size());
}

TEST(Guid, FallsBackToTheTimeSeededGenerator) {
    nimbus_test_random_device("/nonexistent/random-device");
    char a[37], b[37];
    bool compared = false;
    for (int attempt = 0; attempt < 10 && !compared; attempt++) {
        int64_t t0 = nimbus_now();
        ASSERT_EQ(1, nimbus_new_guid(a, sizeof a));
        std::string first = a;
        ASSERT_EQ(1, nimbus_new_guid(a, sizeof a));
        if (nimbus_now() != t0)
            continue; // a second boundary passed; try again
        compared = true;
        EXPECT_EQ(first, std::string(a));
        EXPECT_TRUE(guid_shape(a)) << a;
        // Another buffer address gives another seed.
        ASSERT_EQ(1, nimbus_new_guid(b, sizeof b));
        EXPECT_TRUE(guid_shape(b)) << b;
    }
    EXPECT_TRUE(compared);

    // The generator's bytes, computed here independently.
    int64_t t0 = nimbus_now();
    ASSERT_EQ(1, nimbus_new_guid(a, sizeof a));
    if (nimbus_now() == t0) {
        uint32_t state = static_cast<uint32_t>(t0) ^
                         static_cast<uint32_t>(reinterpret_cast<uintptr_t>(static_cast<char *>(a)));
        unsigned char bytes[16];
        for (auto &byte : bytes) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<unsigned char>(state >> 16);
        }
        bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
        bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
        char want[37];
        std::snprintf(want, sizeof want,
                      "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                      bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6],
                      bytes[7], bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13],
                      bytes[14], bytes[15]);
        EXPECT_STREQ(want, a);
    }
    // An empty device (short read) also selects the generator.
    nimbus_test_random_device("/dev/null");
    ASSERT_EQ(1, nimbus_new_guid(a, sizeof a));
    EXPECT_TRUE(guid_shape(a));
    nimbus_test_random_device(nullptr);
    unsigned char r[16];
    EXPECT_EQ(0, nimbus_random_bytes(r, sizeof r));
}

TEST(Iso8601, Values) {
    EXPECT_EQ(0, nimbus_iso8601_ms(nullptr));
    EXPECT_EQ(31536000000, nimbus_iso8601_ms("1971-01-01T00:00:00Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("1970-01-01T00:00:00Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("1970-12-31T23:59:59Z"));
    EXPECT_EQ(1709210096789, nimbus_iso8601_ms("2024-02-29T12:34:56.789Z"));
    EXPECT_EQ(1709210096700, nimbus_iso8601_ms("2024-02-29T12:34:56.7Z"));
    EXPECT_EQ(1709210096780, nimbus_iso8601_ms("2024-02-29T12:34:56.78Z"));
    EXPECT_EQ(1709210096789, nimbus_iso8601_ms("2024-02-29T12:34:56.7891Z"));
    EXPECT_EQ(1709210096789, nimbus_iso8601_ms("2024-02-29T12:34:56.7899999Z"));
    EXPECT_EQ(1709210096000, nimbus_iso8601_ms("2024-02-29T12:34:56.Z"));
    EXPECT_EQ(1709210096000, nimbus_iso8601_ms("2024-02-29T12:34:56"));
    EXPECT_EQ(1677801600000, nimbus_iso8601_ms("2023-02-31T00:00:00Z"));
    EXPECT_EQ(1677801600000, nimbus_iso8601_ms("2023-03-03T00:00:00Z"));
    EXPECT_EQ(nimbus_iso8601_ms("2023-01-02T03:04:05Z"),
              nimbus_iso8601_ms("2023-01-02T03:04:05+02:00"));
    EXPECT_EQ(1672628645000, nimbus_iso8601_ms("2023-01-02T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-02t03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-02T03:04Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-13-02T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-00-02T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-00T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-32T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-02T24:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-02T03:60:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-02T03:04:61Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("10000-01-01T00:00:00Z"));
    EXPECT_EQ(253402300800999, nimbus_iso8601_ms("9999-12-31T23:59:60.999Z"));
    EXPECT_EQ(253402300799000, nimbus_iso8601_ms("9999-12-31T23:59:59Z"));
    // A second of 60 is the first second of the next minute.
    EXPECT_EQ(nimbus_iso8601_ms("2023-01-02T03:05:00Z"), nimbus_iso8601_ms("2023-01-02T03:04:60Z"));
    // One-digit fields, white space before numbers, signs as scanf reads them.
    EXPECT_EQ(1672628645000, nimbus_iso8601_ms("2023-1-2T3:4:5Z"));
    EXPECT_EQ(1672628645000, nimbus_iso8601_ms(" \t2023- 1- 2T 3: 4: 5Z"));
    EXPECT_EQ(1672628645000, nimbus_iso8601_ms("+2023-+1-+2T+3:+4:+5Z"));
    EXPECT_EQ(1672617845000, nimbus_iso8601_ms("2023-01-02T-0:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-02T-1:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-01-02T+03:04:05Z")); // sign uses the width
    EXPECT_EQ(0, nimbus_iso8601_ms("2023 -01-02T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("2023-001-02T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("-2023-01-02T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms("99999999999999999999999-01-02T03:04:05Z"));
    EXPECT_EQ(1672628645000, nimbus_iso8601_ms("0000002023-01-02T03:04:05Z"));
    EXPECT_EQ(0, nimbus_iso8601_ms(""));
    EXPECT_EQ(0, nimbus_iso8601_ms("garbage"));
    // The first '.' anywhere after the fields decides the milliseconds.
    EXPECT_EQ(1672628645500, nimbus_iso8601_ms("2023-01-02T03:04:05Z.5"));
    EXPECT_EQ(1672628645000, nimbus_iso8601_ms("2023-01-02T03:04:05Z..5"));
}

TEST(Iso8601, ConcurrentReadersAndGuids) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([] {
            for (int i = 0; i < 500; i++) {
                EXPECT_EQ(1709210096789, nimbus_iso8601_ms("2024-02-29T12:34:56.789Z"));
                char g[37];
                EXPECT_EQ(1, nimbus_new_guid(g, sizeof g));
                EXPECT_NE(nullptr, nimbus_graph_base());
            }
        });
    for (auto &t : threads)
        t.join();
}

} // namespace
