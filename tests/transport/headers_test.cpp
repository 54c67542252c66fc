// Header markers: the exchange puts the library's headers in front of the
// bearer marker only for hosts that read them, refuses unsafe ones, and the
// fake transport shows them apart from the route key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rec_io.h"
#include "text/text.h"
#include "transport/transport.h"

namespace {

const std::string PREFER = "Prefer: Include-Feature=AddToOneDrive";

int get_with(const nimbus_io *io, const char *url, const char *token, const char *headers,
             std::string *msg = nullptr) {
    nimbus_resp resp{};
    char m[NIMBUS_MSG_SIZE] = "";
    int rc = nimbus_http_with(io, url, nullptr, nullptr, token, headers, &resp, m, sizeof m);
    nimbus_resp_free(&resp);
    if (msg)
        *msg = m;
    return rc;
}

TEST(HeaderMarkers, InFrontOfTheTokenOnlyForHostsThatReadThem) {
    rec_io rec;
    nimbus_io io = rec.table();
    const std::string url = "https://g/v1.0/me/drive/root/children?$top=200";
    // A host that reads no markers gets today's URLs, fragment and all.
    ASSERT_EQ(0, get_with(&io, (url + "#frag").c_str(), "tok", nullptr));
    ASSERT_EQ(0, get_with(&io, url.c_str(), nullptr, nullptr));
    // One that reads them: each header behind its marker, then the token.
    ASSERT_EQ(0, get_with(&io, url.c_str(), "tok", (PREFER + "\nX-A: b c").c_str()));
    ASSERT_EQ(0, get_with(&io, url.c_str(), nullptr, PREFER.c_str()));
    // The URL's own fragment never reaches such a host: every marker it
    // finds is the library's.
    ASSERT_EQ(0, get_with(&io, (url + "#NIMBUS-HEADER:Evil: 1").c_str(), "tok", ""));
    ASSERT_EQ(5u, rec.calls());
    EXPECT_EQ(url + "#frag#NIMBUS-BEARER:tok", rec.urls[0]);
    EXPECT_EQ(url, rec.urls[1]);
    EXPECT_EQ(url + "#NIMBUS-HEADER:" + PREFER + "#NIMBUS-HEADER:X-A: b c#NIMBUS-BEARER:tok",
              rec.urls[2]);
    EXPECT_EQ(url + "#NIMBUS-HEADER:" + PREFER, rec.urls[3]);
    EXPECT_EQ(url + "#NIMBUS-BEARER:tok", rec.urls[4]);

    // POSTs never carry markers.
    nimbus_resp resp{};
    char msg[NIMBUS_MSG_SIZE];
    ASSERT_EQ(0, nimbus_http_with(&io, "https://t/token", "a=b", nullptr, "tok", PREFER.c_str(),
                                  &resp, msg, sizeof msg));
    nimbus_resp_free(&resp);
    EXPECT_EQ("https://t/token", rec.urls[5]);
}

TEST(HeaderMarkers, UnsafeHeadersNeverReachTheTransport) {
    rec_io rec;
    nimbus_io io = rec.table();
    for (const char *bad :
         {"Prefer: a\r", "Prefer: a\x7f", "Prefer: a#b", "Prefer:a", ": a", "Pre fer: a",
          "Prefer: a\n", "Prefer: a\n\nX: b", "Prefer\xc3\xa9: a", "Prefer: \xc3\xa9"}) {
        std::string msg;
        EXPECT_EQ(-1, get_with(&io, "https://g/x", "tok", bad, &msg)) << bad;
        EXPECT_EQ("a request header is not safe to send", msg);
        EXPECT_FALSE(nimbus_headers_ok(bad)) << bad;
    }
    EXPECT_EQ(0u, rec.calls());
    EXPECT_TRUE(nimbus_headers_ok(""));
    EXPECT_TRUE(nimbus_headers_ok("A-1: \x20~!\nB: "));
}

TEST(HeaderMarkers, FakeKeysRoutesWithoutThemAndShowsThem) {
    nimbus_fake_reset();
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("GET", "https://g/c", 200, "page"));
    const nimbus_io *fake = nimbus_io_fake();
    ASSERT_EQ(0, get_with(fake, "https://g/c", "tok", (PREFER + "\nX: y").c_str()));
    EXPECT_STREQ("https://g/c", nimbus_fake_last_url());
    EXPECT_EQ(PREFER + "\nX: y", nimbus_fake_last_headers());
    EXPECT_EQ(1, nimbus_fake_calls("GET", "https://g/c"));
    // Without a token, and without headers: nothing left over.
    ASSERT_EQ(0, get_with(fake, "https://g/c", nullptr, PREFER.c_str()));
    EXPECT_EQ(PREFER, nimbus_fake_last_headers());
    ASSERT_EQ(0, get_with(fake, "https://g/c", "tok", nullptr));
    EXPECT_STREQ("", nimbus_fake_last_headers());
    EXPECT_EQ(3, nimbus_fake_calls("GET", "https://g/c"));
    nimbus_fake_reset();
    EXPECT_STREQ("", nimbus_fake_last_headers());
}

} // namespace
