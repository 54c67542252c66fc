// Graph error envelopes and the mapping of HTTP statuses to result codes.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "graph/graph.h"
#include "support/alloc_hook.h"

namespace {

struct mapped {
    int rc;
    std::string msg;
};

// Maps with a pre-filled error text, so "left as it was" shows as "prev".
mapped map(long status, const char *code, const char *message = nullptr, size_t size = 64) {
    char msg[64];
    std::strcpy(msg, "prev");
    int rc = nimbus_map_graph(status, code, message, msg, size);
    return {rc, msg};
}

struct parsed {
    int rc;
    std::string code;
    std::string msg;
};

parsed parse(const std::string &body, size_t code_size = NIMBUS_CODE_SIZE) {
    char code[NIMBUS_CODE_SIZE];
    std::strcpy(code, "stale");
    char msg[NIMBUS_MSG_SIZE];
    std::strcpy(msg, "prev");
    int rc = nimbus_parse_error(body.data(), body.size(), code, code_size, msg, sizeof msg);
    return {rc, code, msg};
}

} // namespace

TEST(MapGraph, SuccessStatuses) {
    for (long s : {200L, 201L, 204L, 206L}) {
        mapped m = map(s, "itemNotFound", "boom");
        EXPECT_EQ(m.rc, NIMBUS_OK) << s;
        EXPECT_EQ(m.msg, "prev") << s;
    }
}

TEST(MapGraph, NearSuccessStatusesFail) {
    for (long s : {202L, 203L, 205L}) {
        mapped m = map(s, "");
        EXPECT_EQ(m.rc, NIMBUS_E_FAILED) << s;
        EXPECT_EQ(m.msg, "HTTP " + std::to_string(s)) << s;
    }
    EXPECT_EQ(map(202, nullptr).msg, "HTTP 202");
    mapped teapot = map(418, "imATeapot");
    EXPECT_EQ(teapot.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(teapot.msg, "HTTP 418 (imATeapot)");
    // Every other status, including negative ones, lands in the last row.
    for (long s : {100L, 199L, 301L, 302L, 304L, 402L, 405L, 409L, 411L, 501L, 505L, 599L, 600L,
                   -1L, -404L}) {
        mapped m = map(s, "", "ignored");
        EXPECT_EQ(m.rc, NIMBUS_E_FAILED) << s;
        EXPECT_EQ(m.msg, "HTTP " + std::to_string(s)) << s;
    }
    EXPECT_EQ(map(501, "notSupported").msg, "HTTP 501 (notSupported)");
}

TEST(MapGraph, BadRequest) {
    for (const char *code : {"invalid_grant", "invalid_client", "unauthorized_client",
                             "invalid_request", "invalid_scope", ""}) {
        mapped kept = map(400, code);
        EXPECT_EQ(kept.rc, NIMBUS_E_AUTH) << code;
        EXPECT_EQ(kept.msg, "prev") << code;
        EXPECT_EQ(map(400, code, "").msg, "prev") << code;
        mapped told = map(400, code, "AADSTS70000: the grant is expired");
        EXPECT_EQ(told.rc, NIMBUS_E_AUTH) << code;
        EXPECT_EQ(told.msg, "AADSTS70000: the grant is expired") << code;
    }
    mapped absent = map(400, nullptr, "told");
    EXPECT_EQ(absent.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(absent.msg, "told");
    mapped other = map(400, "invalidRequest", "not used");
    EXPECT_EQ(other.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(other.msg, "HTTP 400 (invalidRequest)");
    // Codes are compared whole and case-sensitively.
    EXPECT_EQ(map(400, "invalid_grant2").msg, "HTTP 400 (invalid_grant2)");
    EXPECT_EQ(map(400, "Invalid_Grant").msg, "HTTP 400 (Invalid_Grant)");
}

TEST(MapGraph, UnauthorisedAndForbidden) {
    for (long s : {401L, 403L}) {
        mapped kept = map(s, "accessDenied");
        EXPECT_EQ(kept.rc, NIMBUS_E_AUTH);
        EXPECT_EQ(kept.msg, "prev");
        mapped told = map(s, "accessDenied", "token expired");
        EXPECT_EQ(told.rc, NIMBUS_E_AUTH);
        EXPECT_EQ(told.msg, "token expired");
    }
    // The message is written verbatim ("%s"), cut to the buffer.
    EXPECT_EQ(map(401, "", "100%s sure", 64).msg, "100%s sure");
    EXPECT_EQ(map(401, "", "abcdefgh", 5).msg, "abcd");
}

TEST(MapGraph, NotFoundGoneThrottledServerErrors) {
    mapped gone = map(410, "");
    EXPECT_EQ(gone.rc, NIMBUS_E_NOT_FOUND);
    EXPECT_EQ(gone.msg, "HTTP 410 (itemNotFound)");
    EXPECT_EQ(map(410, nullptr).msg, "HTTP 410 (itemNotFound)");
    mapped missing = map(404, "resourceGone");
    EXPECT_EQ(missing.rc, NIMBUS_E_NOT_FOUND);
    EXPECT_EQ(missing.msg, "HTTP 404 (resourceGone)");
    EXPECT_EQ(map(410, "resourceGone", "ignored").msg, "HTTP 410 (resourceGone)");

    mapped busy = map(429, "activityLimitReached", "slow down");
    EXPECT_EQ(busy.rc, NIMBUS_E_THROTTLED);
    EXPECT_EQ(busy.msg, "HTTP 429 throttled");

    for (long s : {500L, 502L, 503L, 504L}) {
        mapped m = map(s, "serviceNotAvailable", "later");
        EXPECT_EQ(m.rc, NIMBUS_E_UNAVAILABLE) << s;
        EXPECT_EQ(m.msg, "HTTP " + std::to_string(s) + " server error") << s;
    }
}

TEST(MapGraph, NoStatusAndNoBuffer) {
    mapped none = map(0, "x", "y");
    EXPECT_EQ(none.rc, NIMBUS_E_UNAVAILABLE);
    EXPECT_EQ(none.msg, "prev");
    // An absent error buffer with size 0 is accepted for every status.
    const long statuses[] = {0,   200, 201, 202, 204, 206, 400, 401, 403, 404,
                             410, 418, 429, 500, 501, 503, 504, -7,  999};
    const int expected[] = {NIMBUS_E_UNAVAILABLE,
                            NIMBUS_OK,
                            NIMBUS_OK,
                            NIMBUS_E_FAILED,
                            NIMBUS_OK,
                            NIMBUS_OK,
                            NIMBUS_E_AUTH,
                            NIMBUS_E_AUTH,
                            NIMBUS_E_AUTH,
                            NIMBUS_E_NOT_FOUND,
                            NIMBUS_E_NOT_FOUND,
                            NIMBUS_E_FAILED,
                            NIMBUS_E_THROTTLED,
                            NIMBUS_E_UNAVAILABLE,
                            NIMBUS_E_FAILED,
                            NIMBUS_E_UNAVAILABLE,
                            NIMBUS_E_UNAVAILABLE,
                            NIMBUS_E_FAILED,
                            NIMBUS_E_FAILED};
    for (size_t i = 0; i < sizeof statuses / sizeof statuses[0]; i++) {
        EXPECT_EQ(nimbus_map_graph(statuses[i], "someCode", "a message", nullptr, 0), expected[i]);
        EXPECT_EQ(nimbus_map_graph(statuses[i], "invalid_grant", "a message", nullptr, 0),
                  expected[i]);
    }
    // Size 0 with a buffer writes nothing either.
    char msg[8] = "keep";
    EXPECT_EQ(nimbus_map_graph(404, "", nullptr, msg, 0), NIMBUS_E_NOT_FOUND);
    EXPECT_EQ(nimbus_map_graph(401, "", "told", msg, 0), NIMBUS_E_AUTH);
    EXPECT_STREQ(msg, "keep");
    // Size 1 leaves just the terminator.
    EXPECT_EQ(nimbus_map_graph(503, "", nullptr, msg, 1), NIMBUS_E_UNAVAILABLE);
    EXPECT_STREQ(msg, "");
}

TEST(ParseError, Envelopes) {
    parsed two = parse(R"({"error":{"code":"itemNotFound","message":"Item does not exist\r\n)"
                       R"(second line","innerError":{"date":"2024-01-01T00:00:00",)"
                       R"("request-id":"5e1d","client-request-id":"5e1d"}}})");
    EXPECT_EQ(two.rc, 0);
    EXPECT_EQ(two.code, "itemNotFound");
    EXPECT_EQ(two.msg, "Item does not exist");

    // An empty code leaves the code empty but the message is still written.
    parsed empty_code = parse(R"({"error":{"code":"","message":"quota exceeded"}})");
    EXPECT_EQ(empty_code.rc, 0);
    EXPECT_EQ(empty_code.code, "");
    EXPECT_EQ(empty_code.msg, "quota exceeded");

    // The message becomes one printable line: leading breaks skipped,
    // non-ASCII bytes and tabs blanked, trailing blanks dropped.
    parsed line = parse("{\"error\":{\"message\":\"\\n\\nCaf\u00e9\\tbar  \\nnext\"}}");
    EXPECT_EQ(line.code, "");
    EXPECT_EQ(line.msg, "Caf   bar");
    std::string long_msg(300, 'm');
    EXPECT_EQ(parse(R"({"error":{"message":")" + long_msg + "\"}}").msg, std::string(160, 'm'));

    // The first member of a key decides, at both levels.
    parsed first = parse(R"({"error":{"code":"first","code":"second","message":"one",)"
                         R"("message":"two"},"error":{"code":"outer2"}})");
    EXPECT_EQ(first.code, "first");
    EXPECT_EQ(first.msg, "one");
    parsed first_error = parse(R"({"error":"invalid_grant","error":{"code":"later"}})");
    EXPECT_EQ(first_error.code, "");
    EXPECT_EQ(first_error.msg, "prev");

    // Keys compare whole and case-sensitively.
    parsed keys = parse(R"({"Error":{"code":"a"},"errors":{"code":"b"},)"
                        R"("error":{"Code":"c","codes":"d","message ":"e"}})");
    EXPECT_EQ(keys.rc, 0);
    EXPECT_EQ(keys.code, "");
    EXPECT_EQ(keys.msg, "prev");
}

TEST(ParseError, NothingExtracted) {
    // The OAuth form: "error" is a string. Code emptied, message untouched.
    parsed oauth = parse(R"({"error":"invalid_grant","error_description":"AADSTS70008: expired"})");
    EXPECT_EQ(oauth.rc, 0);
    EXPECT_EQ(oauth.code, "");
    EXPECT_EQ(oauth.msg, "prev");
    for (const char *body : {R"({})", R"({"value":[]})", R"({"error":{}})", R"({"error":null})",
                             R"({"error":[{"code":"x"}]})", R"({"error":{"code":5,"message":7}})",
                             R"({"error":{"code":null,"message":""}})",
                             R"({"error":{"code":{"x":1},"message":["m"]}})"}) {
        parsed p = parse(body);
        EXPECT_EQ(p.rc, 0) << body;
        EXPECT_EQ(p.code, "") << body;
        EXPECT_EQ(p.msg, "prev") << body;
    }
}

TEST(ParseError, CodeBuffer) {
    std::string code(200, 'c');
    parsed cut = parse(R"({"error":{"code":")" + code + "\"}}");
    EXPECT_EQ(cut.code, std::string(NIMBUS_CODE_SIZE - 1, 'c'));
    EXPECT_EQ(parse(R"({"error":{"code":"abcdef"}})", 4).code, "abc");
    EXPECT_EQ(parse(R"({"error":{"code":"abcdef"}})", 1).code, "");
    // Escapes are decoded before the copy.
    EXPECT_EQ(parse(R"({"error":{"code":"a\"b\u00e9"}})").code, "a\"b\xC3\xA9");

    // No code buffer at all: the message is still read.
    const char body[] = R"({"error":{"code":"x","message":"only the message"}})";
    char msg[32] = "prev";
    EXPECT_EQ(nimbus_parse_error(body, sizeof body - 1, nullptr, 0, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "only the message");
    // A code buffer of size 0 is not touched.
    char code0[4] = "zz";
    EXPECT_EQ(nimbus_parse_error(body, sizeof body - 1, code0, 0, msg, sizeof msg), 0);
    EXPECT_STREQ(code0, "zz");
    // No error buffer: the code is still read.
    char code1[8];
    EXPECT_EQ(nimbus_parse_error(body, sizeof body - 1, code1, sizeof code1, nullptr, 0), 0);
    EXPECT_STREQ(code1, "x");
}

TEST(ParseError, NotAnObject) {
    for (const std::string &body :
         {std::string("[]"), std::string(R"(["error"])"), std::string(R"("error")"),
          std::string("42"), std::string("null"), std::string(""), std::string("   "),
          std::string("{"), std::string(R"({"error":{"code":"x"}} trailing)"),
          std::string("{'error':1}"), std::string("{\"a\":1,}"), std::string("<html>")}) {
        parsed p = parse(body);
        EXPECT_EQ(p.rc, NIMBUS_E_FAILED) << body;
        EXPECT_EQ(p.code, "") << body;
        EXPECT_EQ(p.msg, "the answer is not a JSON object") << body;
    }
    // An absent body fails the same way and still empties the code.
    char code[8] = "stale";
    char msg[64] = "";
    EXPECT_EQ(nimbus_parse_error(nullptr, 0, code, sizeof code, msg, sizeof msg), NIMBUS_E_FAILED);
    EXPECT_STREQ(code, "");
    EXPECT_STREQ(msg, "the answer is not a JSON object");
    // The length bounds the read: the object is only the first two bytes.
    const char body[] = "{}garbage";
    EXPECT_EQ(nimbus_parse_error(body, 2, code, sizeof code, msg, sizeof msg), 0);
    // The message is cut to the buffer.
    char small[8];
    EXPECT_EQ(nimbus_parse_error("[1]", 3, nullptr, 0, small, sizeof small), NIMBUS_E_FAILED);
    EXPECT_STREQ(small, "the ans");
}

TEST(ParseError, ReaderOutOfMemory) {
    if (!alloc_hook_available())
        GTEST_SKIP() << "the sanitizers bring their own allocator";
    const char body[] = R"({"error":{"code":"itemNotFound","message":"gone"}})";
    char code[NIMBUS_CODE_SIZE] = "stale";
    char msg[64] = "";
    long before = alloc_live();
    alloc_fail_at(0);
    int rc = nimbus_parse_error(body, sizeof body - 1, code, sizeof code, msg, sizeof msg);
    EXPECT_TRUE(alloc_disarm());
    EXPECT_EQ(rc, NIMBUS_E_FAILED);
    EXPECT_STREQ(code, "");
    EXPECT_STREQ(msg, "out of memory");
    EXPECT_EQ(alloc_live(), before);
}
