// The one HTTP exchange through a transport table, and the process-wide
// selection of the table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rec_io.h"
#include "support/alloc_hook.h"
#include "text/text.h"
#include "transport/transport.h"

namespace {

const std::string MARKER = "#NIMBUS-BEARER:";

// One exchange with a fresh message buffer.
struct exchange {
    int rc;
    nimbus_resp resp{};
    char msg[NIMBUS_MSG_SIZE];

    exchange(const nimbus_io *io, const char *url, const char *body = nullptr,
             const char *type = nullptr, const char *token = nullptr) {
        std::memset(msg, 'x', sizeof msg);
        msg[sizeof msg - 1] = '\0';
        resp.status = 77; // must be cleared
        rc = nimbus_http(io, url, body, type, token, &resp, msg, sizeof msg);
    }
    ~exchange() { nimbus_resp_free(&resp); }
    bool empty() const { return resp.status == 0 && resp.body == nullptr && resp.len == 0; }
};

std::string url_of(size_t n) {
    std::string u = "https://h/";
    u.resize(n, 'a');
    return u;
}

TEST(Http, NoTransport) {
    rec_io rec;
    nimbus_io io = rec.table();
    exchange none(nullptr, "https://h/x");
    EXPECT_EQ(none.rc, -1);
    EXPECT_STREQ(none.msg, "no transport");
    EXPECT_TRUE(none.empty());

    io.get = nullptr;
    exchange no_get(&io, "https://h/x");
    EXPECT_EQ(no_get.rc, -1);
    EXPECT_STREQ(no_get.msg, "no transport");
    EXPECT_TRUE(no_get.empty());

    io = rec.table();
    io.post = nullptr;
    exchange no_post(&io, "https://h/x");
    EXPECT_EQ(no_post.rc, -1);
    EXPECT_STREQ(no_post.msg, "no transport");
    EXPECT_EQ(rec.calls(), 0u);

    // A null URL is refused without calling the transport.
    io = rec.table();
    exchange no_url(&io, nullptr);
    EXPECT_EQ(no_url.rc, -1);
    EXPECT_STREQ(no_url.msg, "no request URL");
    EXPECT_EQ(rec.calls(), 0u);
}

TEST(Http, UrlLimit) {
    rec_io rec;
    nimbus_io io = rec.table();
    std::string at = url_of(8192), past = url_of(8193);

    exchange ok(&io, at.c_str());
    EXPECT_EQ(ok.rc, 0);
    ASSERT_EQ(rec.calls(), 1u);
    EXPECT_EQ(rec.urls[0], at);

    exchange too_long(&io, past.c_str());
    EXPECT_EQ(too_long.rc, -1);
    EXPECT_STREQ(too_long.msg, "request URL longer than 8 KiB");
    EXPECT_TRUE(too_long.empty());
    EXPECT_EQ(rec.calls(), 1u);

    // The limit is on the caller's URL, before the marker and token are added.
    exchange with_token(&io, at.c_str(), nullptr, nullptr, "tok");
    EXPECT_EQ(with_token.rc, 0);
    EXPECT_EQ(rec.urls.back(), at + MARKER + "tok");
    exchange post_long(&io, past.c_str(), "a=1");
    EXPECT_EQ(post_long.rc, -1);
    EXPECT_STREQ(post_long.msg, "request URL longer than 8 KiB");
    EXPECT_EQ(rec.calls(), 2u);
}

TEST(Http, BearerMarkerAndMethods) {
    rec_io rec;
    nimbus_io io = rec.table();

    exchange with_token(&io, "https://h/me?x=1", nullptr, nullptr, "abc.def");
    EXPECT_EQ(with_token.rc, 0);
    exchange empty_token(&io, "https://h/me", nullptr, nullptr, "");
    exchange null_token(&io, "https://h/me");
    ASSERT_EQ(rec.calls(), 3u);
    EXPECT_EQ(rec.methods[0], "GET");
    EXPECT_EQ(rec.urls[0], "https://h/me?x=1#NIMBUS-BEARER:abc.def");
    EXPECT_EQ(rec.urls[1], "https://h/me");
    EXPECT_EQ(rec.urls[2], "https://h/me");

    // A body makes a POST; the token never travels with it.
    exchange form(&io, "https://login/token", "grant_type=refresh_token", nullptr, "tok");
    exchange json(&io, "https://login/token", "{}", "application/json");
    exchange empty_body(&io, "https://login/token", "");
    ASSERT_EQ(rec.calls(), 6u);
    EXPECT_EQ(rec.methods[3], "POST");
    EXPECT_EQ(rec.urls[3], "https://login/token");
    EXPECT_EQ(rec.bodies[3], "grant_type=refresh_token");
    EXPECT_EQ(rec.types[3], "application/x-www-form-urlencoded");
    EXPECT_EQ(rec.types[4], "application/json");
    EXPECT_EQ(rec.methods[5], "POST");
    EXPECT_EQ(rec.bodies[5], "");
}

TEST(Http, LongTokenArrivesWhole) {
    rec_io rec;
    nimbus_io io = rec.table();
    std::string url = url_of(8192);
    std::string token(8192, 't');
    token[0] = 'A';
    token[8191] = 'Z';
    exchange ex(&io, url.c_str(), nullptr, nullptr, token.c_str());
    EXPECT_EQ(ex.rc, 0);
    ASSERT_EQ(rec.calls(), 1u);
    EXPECT_EQ(rec.urls[0].size(), 8192u + 15u + 8192u);
    EXPECT_EQ(rec.urls[0], url + MARKER + token);
}

TEST(Http, AnswerIsCopiedAndReleased) {
    for (bool with_free : {true, false}) {
        SCOPED_TRACE(with_free ? "with free" : "without free");
        rec_io rec;
        nimbus_io io = rec.table(with_free);

        rec.status = 200;
        rec.answer = "{\"value\":[]}";
        exchange ok(&io, "https://h/x");
        EXPECT_EQ(ok.rc, 0);
        EXPECT_EQ(ok.resp.status, 200);
        EXPECT_STREQ(ok.resp.body, "{\"value\":[]}");
        EXPECT_EQ(ok.resp.len, 12u);

        // A 404 with an empty body is an answer like any other.
        rec.status = 404;
        rec.answer = "";
        exchange nf(&io, "https://h/x");
        EXPECT_EQ(nf.rc, 0);
        EXPECT_EQ(nf.resp.status, 404);
        ASSERT_NE(nf.resp.body, nullptr);
        EXPECT_STREQ(nf.resp.body, "");
        EXPECT_EQ(nf.resp.len, 0u);

        // The body ends at its first NUL; an error text stored with an answer
        // is released unread.
        rec.status = 500;
        rec.answer = "ab\0cd";
        rec.answer_bytes = 5;
        rec.error = "ignored";
        exchange cut(&io, "https://h/x");
        EXPECT_EQ(cut.rc, 0);
        EXPECT_EQ(cut.resp.status, 500);
        EXPECT_STREQ(cut.resp.body, "ab");
        EXPECT_EQ(cut.resp.len, 2u);

        EXPECT_EQ(rec.handed, 4);
        EXPECT_EQ(rec.freed, with_free ? 4 : 0);
    }
}

TEST(Http, FailureMessages) {
    for (bool with_free : {true, false}) {
        SCOPED_TRACE(with_free ? "with free" : "without free");
        rec_io rec;
        nimbus_io io = rec.table(with_free);

        // Non-zero return: one line of the error text, the masked URL.
        rec.rc = 7;
        rec.answer = nullptr;
        rec.error = "\r\n\r\ncould not resolve host\nsecond line\n";
        exchange multi(&io, "https://user:pw@h/p?access_token=abc&x=1", nullptr, nullptr,
                       "secret-token");
        EXPECT_EQ(multi.rc, -1);
        EXPECT_STREQ(multi.msg, "GET https://h/p?access_token=***&x=1: could not resolve host");
        EXPECT_TRUE(multi.empty());
        EXPECT_EQ(rec.urls.back(),
                  "https://user:pw@h/p?access_token=abc&x=1#NIMBUS-BEARER:secret-token");

        // No error text: "transport failure". A body stored with a failure is
        // released.
        rec.error = nullptr;
        rec.answer = "partial";
        exchange bare(&io, "https://login/token?client_secret=s3", "refresh_token=r1");
        EXPECT_EQ(bare.rc, -1);
        EXPECT_STREQ(bare.msg, "POST https://login/token?client_secret=***: transport failure");
        EXPECT_TRUE(bare.empty());

        // Zero return without a body is a failure too.
        rec.rc = 0;
        rec.answer = nullptr;
        exchange no_body(&io, "https://h/q", nullptr, nullptr, "tok");
        EXPECT_EQ(no_body.rc, -1);
        EXPECT_STREQ(no_body.msg, "GET https://h/q: transport failure");
        EXPECT_TRUE(no_body.empty());

        rec.error = "timed out\tafter 30 s";
        exchange no_body_err(&io, "https://h/q");
        EXPECT_EQ(no_body_err.rc, -1);
        EXPECT_STREQ(no_body_err.msg, "GET https://h/q: timed out after 30 s");

        // The message is cut to the caller's buffer.
        nimbus_resp resp{};
        char small[12];
        EXPECT_EQ(
            nimbus_http(&io, "https://h/q", nullptr, nullptr, nullptr, &resp, small, sizeof small),
            -1);
        EXPECT_STREQ(small, "GET https:/");

        EXPECT_EQ(rec.handed, 4);
        EXPECT_EQ(rec.freed, with_free ? 4 : 0);
    }
}

TEST(Http, LongErrorTextAndUrlAreBounded) {
    rec_io rec;
    nimbus_io io = rec.table();
    std::string error(1000, 'e');
    rec.rc = -1;
    rec.answer = nullptr;
    rec.error = error.c_str();
    std::string url = url_of(8192);
    exchange ex(&io, url.c_str());
    EXPECT_EQ(ex.rc, -1);
    // "GET ", at most 511 bytes of URL, ": ", at most 160 bytes of the line.
    std::string expect = "GET " + url.substr(0, 511) + ": " + error.substr(0, 160);
    EXPECT_EQ(std::string(ex.msg), expect);
}

TEST(Http, RespFree) {
    nimbus_resp empty{};
    nimbus_resp_free(&empty);
    nimbus_resp_free(nullptr);
    EXPECT_EQ(empty.body, nullptr);

    nimbus_resp r{200, nimbus_strdup("x"), 1};
    nimbus_resp_free(&r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.body, nullptr);
    EXPECT_EQ(r.len, 0u);
    nimbus_resp_free(&r);
}

TEST(Http, OutOfMemory) {
    if (!alloc_hook_available())
        GTEST_SKIP() << "allocator owned by a sanitizer";
    for (bool with_free : {true, false}) {
        SCOPED_TRACE(with_free ? "with free" : "without free");
        rec_io rec;
        nimbus_io io = rec.table(with_free);

        // The answer is copied with its padding (with a free callback) or
        // resized to carry it (adopted without one); when that fails the
        // transport's texts are still released and the record stays empty.
        rec.answer = "body";
        rec.error = "noise";
        rec.after = [] { alloc_fail_at(0); };
        exchange copy(&io, "https://h/x");
        alloc_disarm();
        EXPECT_EQ(copy.rc, -1);
        EXPECT_STREQ(copy.msg, "out of memory");
        EXPECT_TRUE(copy.empty());
        EXPECT_EQ(rec.freed, with_free ? 2 : 0);
        EXPECT_EQ(rec.handed, 2);

        // Building the bearer URL fails: the transport is not called.
        rec.after = nullptr;
        alloc_fail_at(0);
        exchange bearer(&io, "https://h/x", nullptr, nullptr, "tok");
        alloc_disarm();
        EXPECT_EQ(bearer.rc, -1);
        EXPECT_STREQ(bearer.msg, "out of memory");
        EXPECT_TRUE(bearer.empty());
        EXPECT_EQ(rec.calls(), 1u);
    }
}

// ---- Selection -----------------------------------------------------------

bool same_table(const nimbus_io &a, const nimbus_io &b) {
    return a.ctx == b.ctx && a.get == b.get && a.post == b.post && a.free == b.free;
}

nimbus_io current() {
    nimbus_io io;
    std::memset(&io, 0xAB, sizeof io);
    int rc = nimbus_io_current(&io);
    EXPECT_EQ(rc != 0, io.get != nullptr);
    return io;
}

TEST(Selection, SetUseAndCurl) {
    rec_io rec;
    nimbus_io table = rec.table(false);
    const nimbus_io zero{};

    ASSERT_EQ(nimbus_set_io(nullptr), NIMBUS_OK);
    nimbus_io out;
    std::memset(&out, 0xAB, sizeof out);
    EXPECT_EQ(nimbus_io_current(&out), 0);
    EXPECT_TRUE(same_table(out, zero));
    EXPECT_EQ(nimbus_io_current(nullptr), 0);
    {
        nimbus_io none = current();
        exchange ex(&none, "https://h/x");
        EXPECT_EQ(ex.rc, -1);
        EXPECT_STREQ(ex.msg, "no transport");
    }

    // A table without free is accepted; its texts go to free().
    ASSERT_EQ(nimbus_set_io(&table), NIMBUS_OK);
    EXPECT_EQ(nimbus_io_current(&out), 1);
    EXPECT_TRUE(same_table(out, table));

    // An incomplete table is refused and the selection stays.
    nimbus_io no_post = rec.table();
    no_post.post = nullptr;
    nimbus_io no_get = rec.table();
    no_get.get = nullptr;
    EXPECT_EQ(nimbus_set_io(&no_post), NIMBUS_E_INVALID);
    EXPECT_EQ(nimbus_set_io(&no_get), NIMBUS_E_INVALID);
    EXPECT_TRUE(same_table(current(), table));

    // There is no built-in transport.
    EXPECT_EQ(nimbus_io_curl(), nullptr);
    EXPECT_EQ(nimbus_use_curl(), NIMBUS_E_UNSUPPORTED);
    EXPECT_TRUE(same_table(current(), table));

    EXPECT_EQ(nimbus_use_fake(), NIMBUS_OK);
    EXPECT_TRUE(same_table(current(), *nimbus_io_fake()));
    EXPECT_EQ(nimbus_use_curl(), NIMBUS_E_UNSUPPORTED);
    EXPECT_TRUE(same_table(current(), *nimbus_io_fake()));

    EXPECT_EQ(nimbus_set_io(nullptr), NIMBUS_OK);
    EXPECT_EQ(nimbus_io_current(&out), 0);
    EXPECT_EQ(nimbus_use_curl(), NIMBUS_E_UNSUPPORTED);
    EXPECT_EQ(nimbus_io_current(&out), 0);
}

TEST(Selection, CallerTableMayGoAway) {
    rec_io rec;
    rec.answer = "kept";
    {
        auto *table = new nimbus_io(rec.table());
        ASSERT_EQ(nimbus_set_io(table), NIMBUS_OK);
        std::memset(table, 0, sizeof *table);
        delete table;
    }
    nimbus_io io = current();
    exchange ex(&io, "https://h/x");
    EXPECT_EQ(ex.rc, 0);
    EXPECT_STREQ(ex.resp.body, "kept");
    EXPECT_EQ(rec.freed, 1);

    // The reader's copy is its own: a later selection does not change it.
    rec_io other;
    nimbus_io other_table = other.table();
    ASSERT_EQ(nimbus_set_io(&other_table), NIMBUS_OK);
    exchange again(&io, "https://h/y");
    EXPECT_EQ(again.rc, 0);
    EXPECT_EQ(rec.calls(), 2u);
    EXPECT_EQ(other.calls(), 0u);
    EXPECT_EQ(nimbus_set_io(nullptr), NIMBUS_OK);
}

} // namespace
