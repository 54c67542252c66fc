// The fake transport: scripted routes, counters, recorded URLs and bodies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/alloc_hook.h"
#include "text/text.h"
#include "transport/transport.h"

namespace {

const char *NOT_FOUND = "The requested resource could not be found.";

// One answer of the fake's table, taken over from its callbacks.
struct answer {
    int rc = 0;
    int32_t status = 0;
    bool has_body = false;
    bool has_error = false;
    std::string body;
    std::string error;
};

answer take(int rc, char *body, int32_t status, char *error) {
    answer a;
    a.rc = rc;
    a.status = status;
    a.has_body = body != nullptr;
    a.has_error = error != nullptr;
    if (body)
        a.body = body;
    if (error)
        a.error = error;
    std::free(body);
    std::free(error);
    return a;
}

answer get(const char *url) {
    const nimbus_io *f = nimbus_io_fake();
    char *body = nullptr, *error = nullptr;
    int32_t status = 0;
    int rc = f->get(f->ctx, url, &body, &status, &error);
    return take(rc, body, status, error);
}

answer post(const char *url, const char *req) {
    const nimbus_io *f = nimbus_io_fake();
    char *body = nullptr, *error = nullptr;
    int32_t status = 0;
    int rc = f->post(f->ctx, url, req, "application/x-www-form-urlencoded", &body, &status, &error);
    return take(rc, body, status, error);
}

class Fake : public ::testing::Test {
  protected:
    void SetUp() override { nimbus_fake_reset(); }
    void TearDown() override { nimbus_fake_reset(); }
};

TEST_F(Fake, TableShape) {
    const nimbus_io *f = nimbus_io_fake();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f, nimbus_io_fake());
    EXPECT_EQ(f->ctx, nullptr);
    EXPECT_NE(f->get, nullptr);
    EXPECT_NE(f->post, nullptr);
    EXPECT_EQ(f->free, nullptr);
}

TEST_F(Fake, ScriptedAnswersAndUnscripted404) {
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/a", 200, "{\"a\":1}"), NIMBUS_OK);
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/empty", 204, nullptr), NIMBUS_OK);

    answer a = get("https://g/a");
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "{\"a\":1}");
    EXPECT_FALSE(a.has_error);

    answer e = get("https://g/empty");
    EXPECT_EQ(e.rc, 0);
    EXPECT_EQ(e.status, 204);
    EXPECT_TRUE(e.has_body);
    EXPECT_EQ(e.body, "");

    // The method is part of the key: a POST to a GET route is unscripted.
    answer p = post("https://g/a", "x=1");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.status, 404);
    EXPECT_EQ(p.body, NOT_FOUND);

    answer u = get("https://g/none");
    EXPECT_EQ(u.rc, 0);
    EXPECT_EQ(u.status, 404);
    EXPECT_EQ(u.body, NOT_FOUND);
    EXPECT_FALSE(u.has_error);

    EXPECT_EQ(nimbus_fake_calls(nullptr, nullptr), 4);
    EXPECT_EQ(nimbus_fake_calls("GET", "https://g/a"), 1);
    EXPECT_EQ(nimbus_fake_calls("POST", "https://g/a"), 0);
    EXPECT_EQ(nimbus_fake_calls(nullptr, "https://g/none"), 0);
    EXPECT_EQ(nimbus_fake_calls("GET", "https://g/empty"), 1);
    EXPECT_STREQ(nimbus_fake_last_url(), "https://g/none");
}

TEST_F(Fake, BearerMarkerIsCutOff) {
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/me/drive", 200, "drive"), NIMBUS_OK);
    answer a = get("https://g/me/drive#NIMBUS-BEARER:tok#NIMBUS-BEARER:more");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "drive");
    EXPECT_STREQ(nimbus_fake_last_url(), "https://g/me/drive");
    EXPECT_EQ(nimbus_fake_calls("GET", "https://g/me/drive"), 1);

    // Through the exchange, with a token of its own.
    nimbus_resp resp{};
    char msg[NIMBUS_MSG_SIZE];
    ASSERT_EQ(nimbus_http(nimbus_io_fake(), "https://g/me/drive", nullptr, nullptr, "secret-token",
                          &resp, msg, sizeof msg),
              0);
    EXPECT_EQ(resp.status, 200);
    EXPECT_STREQ(resp.body, "drive");
    nimbus_resp_free(&resp);
    EXPECT_STREQ(nimbus_fake_last_url(), "https://g/me/drive");
    EXPECT_EQ(nimbus_fake_calls("GET", "https://g/me/drive"), 2);

    // The part before the marker is kept to 8199 bytes as a route key.
    std::string longer(9000, 'u');
    std::string with_marker = longer + "#NIMBUS-BEARER:t";
    answer l = get(with_marker.c_str());
    EXPECT_EQ(l.status, 404);
    EXPECT_EQ(std::string(nimbus_fake_last_url()), longer.substr(0, 8199));
    // Without a marker the URL is used whole.
    get(longer.c_str());
    EXPECT_EQ(std::string(nimbus_fake_last_url()), longer);
}

TEST_F(Fake, RescriptingKeepsOneRoute) {
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/r", 200, "one"), NIMBUS_OK);
    get("https://g/r");
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/r", 201, "two"), NIMBUS_OK);
    answer a = get("https://g/r");
    EXPECT_EQ(a.status, 201);
    EXPECT_EQ(a.body, "two");
    EXPECT_EQ(nimbus_fake_calls("GET", "https://g/r"), 2);
    EXPECT_EQ(nimbus_fake_calls(nullptr, "https://g/r"), 2);

    // fail after set fails; set after fail answers again; the count goes on.
    ASSERT_EQ(nimbus_fake_fail("GET", "https://g/r", "reset by peer"), NIMBUS_OK);
    answer f = get("https://g/r");
    EXPECT_EQ(f.rc, -1);
    EXPECT_EQ(f.status, 0);
    EXPECT_FALSE(f.has_body);
    EXPECT_EQ(f.error, "reset by peer");
    ASSERT_EQ(nimbus_fake_fail("GET", "https://g/r", nullptr), NIMBUS_OK);
    EXPECT_EQ(get("https://g/r").error, "connection refused");
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/r", 200, "three"), NIMBUS_OK);
    answer b = get("https://g/r");
    EXPECT_EQ(b.rc, 0);
    EXPECT_EQ(b.status, 200);
    EXPECT_EQ(b.body, "three");
    EXPECT_FALSE(b.has_error);
    EXPECT_EQ(nimbus_fake_calls("GET", "https://g/r"), 5);
}

TEST_F(Fake, FailingPostCountsAndRecords) {
    ASSERT_EQ(nimbus_fake_fail("POST", "https://login/token", "no route to host"), NIMBUS_OK);
    answer f = post("https://login/token", "grant_type=refresh_token&refresh_token=r1");
    EXPECT_EQ(f.rc, -1);
    EXPECT_EQ(f.error, "no route to host");
    EXPECT_EQ(nimbus_fake_calls("POST", "https://login/token"), 1);
    EXPECT_STREQ(nimbus_fake_last_body("https://login/token"),
                 "grant_type=refresh_token&refresh_token=r1");

    // Seen through the exchange, a scripted failure is a failed exchange.
    nimbus_resp resp{};
    char msg[NIMBUS_MSG_SIZE];
    EXPECT_EQ(nimbus_http(nimbus_io_fake(), "https://login/token", "refresh_token=r2", nullptr,
                          nullptr, &resp, msg, sizeof msg),
              -1);
    EXPECT_STREQ(msg, "POST https://login/token: no route to host");
    EXPECT_EQ(resp.body, nullptr);
    EXPECT_STREQ(nimbus_fake_last_body("https://login/token"), "refresh_token=r2");
    EXPECT_EQ(nimbus_fake_calls("POST", "https://login/token"), 2);

    // An unscripted 404 is an answer.
    ASSERT_EQ(nimbus_http(nimbus_io_fake(), "https://g/x", nullptr, nullptr, nullptr, &resp, msg,
                          sizeof msg),
              0);
    EXPECT_EQ(resp.status, 404);
    EXPECT_STREQ(resp.body, NOT_FOUND);
    EXPECT_EQ(resp.len, std::strlen(NOT_FOUND));
    nimbus_resp_free(&resp);
}

TEST_F(Fake, CallCounts) {
    // Without a URL every call counts, whatever the method; URLs compare
    // exactly.
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/u", 200, "g"), NIMBUS_OK);
    ASSERT_EQ(nimbus_fake_set("POST", "https://g/u", 200, "p"), NIMBUS_OK);
    get("https://g/u");
    post("https://g/u", "b");
    get("https://g/w");
    EXPECT_EQ(nimbus_fake_calls(nullptr, nullptr), 3);
    EXPECT_EQ(nimbus_fake_calls("POST", nullptr), 3);
    EXPECT_EQ(nimbus_fake_calls("GET", "https://g/u/"), 0);

    // A request without a URL fails and is neither counted nor recorded.
    const nimbus_io *f = nimbus_io_fake();
    char *body = reinterpret_cast<char *>(1), *error = nullptr;
    int32_t status = 9;
    EXPECT_EQ(f->get(f->ctx, nullptr, &body, &status, &error), -1);
    answer n = take(-1, body, status, error);
    EXPECT_FALSE(n.has_body);
    EXPECT_EQ(n.status, 0);
    EXPECT_EQ(n.error, "null url");
    EXPECT_EQ(nimbus_fake_calls(nullptr, nullptr), 3);
    EXPECT_STREQ(nimbus_fake_last_url(), "https://g/w");
}

TEST_F(Fake, LastBody) {
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/only-get", 200, "x"), NIMBUS_OK);
    ASSERT_EQ(nimbus_fake_set("POST", "https://g/never", 200, "x"), NIMBUS_OK);
    ASSERT_EQ(nimbus_fake_set("POST", "https://g/form", 200, "x"), NIMBUS_OK);
    post("https://g/only-get", "b0");
    get("https://g/only-get");
    EXPECT_STREQ(nimbus_fake_last_body("https://g/only-get"), "");
    EXPECT_STREQ(nimbus_fake_last_body("https://g/never"), "");
    EXPECT_STREQ(nimbus_fake_last_body("https://g/unknown"), "");
    EXPECT_STREQ(nimbus_fake_last_body(nullptr), "");

    post("https://g/form", "a=1");
    post("https://g/form", "a=2");
    EXPECT_STREQ(nimbus_fake_last_body("https://g/form"), "a=2");
    // A POST without a body records the empty text.
    post("https://g/form", nullptr);
    EXPECT_STREQ(nimbus_fake_last_body("https://g/form"), "");
    // Rescripting keeps what was recorded.
    post("https://g/form", "a=3");
    ASSERT_EQ(nimbus_fake_set("POST", "https://g/form", 500, "y"), NIMBUS_OK);
    EXPECT_STREQ(nimbus_fake_last_body("https://g/form"), "a=3");

    // The returned text stays until this thread asks again.
    const char *kept = nimbus_fake_last_body("https://g/form");
    post("https://g/form", "a=4");
    EXPECT_STREQ(kept, "a=3");
    EXPECT_STREQ(nimbus_fake_last_url(), "https://g/form");
}

TEST_F(Fake, BadScripting) {
    for (const char *m : {"get", "post", "PUT", "DELETE", "", "GET "}) {
        SCOPED_TRACE(m);
        EXPECT_EQ(nimbus_fake_set(m, "https://g/a", 200, "x"), NIMBUS_E_INVALID);
        EXPECT_EQ(nimbus_fake_fail(m, "https://g/a", "x"), NIMBUS_E_INVALID);
    }
    EXPECT_EQ(nimbus_fake_set(nullptr, "https://g/a", 200, "x"), NIMBUS_E_INVALID);
    EXPECT_EQ(nimbus_fake_fail(nullptr, "https://g/a", "x"), NIMBUS_E_INVALID);
    EXPECT_EQ(nimbus_fake_set("GET", nullptr, 200, "x"), NIMBUS_E_INVALID);
    EXPECT_EQ(nimbus_fake_fail("POST", nullptr, "x"), NIMBUS_E_INVALID);
    // Nothing was scripted.
    EXPECT_EQ(get("https://g/a").status, 404);
}

TEST_F(Fake, Reset) {
    for (int i = 0; i < 40; i++) { // past the first growth of the table
        std::string url = "https://g/" + std::to_string(i);
        ASSERT_EQ(nimbus_fake_set("GET", url.c_str(), 200, "x"), NIMBUS_OK);
        ASSERT_EQ(nimbus_fake_fail("POST", url.c_str(), "down"), NIMBUS_OK);
        get(url.c_str());
        post(url.c_str(), "body");
    }
    for (int i = 0; i < 40; i++) {
        std::string url = "https://g/" + std::to_string(i);
        ASSERT_EQ(nimbus_fake_calls(nullptr, url.c_str()), 2);
        ASSERT_EQ(get(url.c_str()).body, "x");
    }
    EXPECT_EQ(nimbus_fake_calls(nullptr, nullptr), 120);

    nimbus_fake_reset();
    EXPECT_EQ(nimbus_fake_calls(nullptr, nullptr), 0);
    EXPECT_EQ(nimbus_fake_calls(nullptr, "https://g/3"), 0);
    EXPECT_STREQ(nimbus_fake_last_url(), "");
    EXPECT_STREQ(nimbus_fake_last_body("https://g/3"), "");
    answer a = get("https://g/3");
    EXPECT_EQ(a.status, 404);
    EXPECT_EQ(a.body, NOT_FOUND);
    EXPECT_EQ(post("https://g/3", "b").status, 404);
    nimbus_fake_reset();
    nimbus_fake_reset();
    EXPECT_EQ(nimbus_fake_calls(nullptr, nullptr), 0);
}

TEST_F(Fake, UseFakeSelectsIt) {
    ASSERT_EQ(nimbus_set_io(nullptr), NIMBUS_OK);
    // Scripting does not depend on the selection.
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/sel", 200, "yes"), NIMBUS_OK);
    EXPECT_EQ(nimbus_use_fake(), NIMBUS_OK);
    nimbus_io io{};
    ASSERT_EQ(nimbus_io_current(&io), 1);
    nimbus_resp resp{};
    char msg[NIMBUS_MSG_SIZE];
    ASSERT_EQ(nimbus_http(&io, "https://g/sel", nullptr, nullptr, "t", &resp, msg, sizeof msg), 0);
    EXPECT_STREQ(resp.body, "yes");
    nimbus_resp_free(&resp);
    EXPECT_EQ(nimbus_set_io(nullptr), NIMBUS_OK);
}

TEST_F(Fake, OutOfMemory) {
    if (!alloc_hook_available())
        GTEST_SKIP() << "allocator owned by a sanitizer";

    // Growing the empty table fails: nothing is added.
    alloc_fail_at(0);
    EXPECT_EQ(nimbus_fake_set("GET", "https://g/a", 200, "x"), NIMBUS_E_BUFFER);
    // Copying the method or the URL of a new route fails.
    alloc_fail_at(1);
    EXPECT_EQ(nimbus_fake_set("GET", "https://g/a", 200, "x"), NIMBUS_E_BUFFER);
    alloc_fail_at(0);
    EXPECT_EQ(nimbus_fake_fail("GET", "https://g/a", "x"), NIMBUS_E_BUFFER);
    alloc_disarm();
    EXPECT_EQ(get("https://g/a").status, 404);

    // Copying the answer of an existing route fails: the route stays, without
    // an answer, and a hit fails with "out of memory".
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/a", 200, "x"), NIMBUS_OK);
    alloc_fail_at(0);
    EXPECT_EQ(nimbus_fake_set("GET", "https://g/a", 201, "y"), NIMBUS_E_BUFFER);
    alloc_disarm();
    answer none = get("https://g/a");
    EXPECT_EQ(none.rc, -1);
    EXPECT_FALSE(none.has_body);
    EXPECT_EQ(none.error, "out of memory");
    ASSERT_EQ(nimbus_fake_set("GET", "https://g/a", 200, "x"), NIMBUS_OK);

    // The copy of the answer fails during a request (after the last URL's copy).
    const nimbus_io *f = nimbus_io_fake();
    char *body = nullptr, *error = nullptr;
    int32_t status = 0;
    alloc_fail_at(1);
    int rc = f->get(f->ctx, "https://g/a", &body, &status, &error);
    alloc_disarm();
    answer a = take(rc, body, status, error);
    EXPECT_EQ(a.rc, -1);
    EXPECT_FALSE(a.has_body);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.error, "out of memory");
    EXPECT_EQ(nimbus_fake_calls("GET", "https://g/a"), 2);

    // The copy of the last URL fails: it reads as empty, the answer is fine.
    alloc_fail_at(0);
    answer b = get("https://g/a");
    alloc_disarm();
    EXPECT_EQ(b.body, "x");
    EXPECT_STREQ(nimbus_fake_last_url(), "");

    // The copy of a returned text fails: the empty text.
    get("https://g/a");
    alloc_fail_at(0);
    const char *last = nimbus_fake_last_url();
    alloc_disarm();
    EXPECT_STREQ(last, "");
}

} // namespace
