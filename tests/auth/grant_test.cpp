// The refresh grant and the token answer reader.
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "auth/token_server.h"

namespace {

struct parsed {
    int rc;
    std::string msg;
    std::string access;  // "<null>" when absent
    std::string refresh; // "<null>" when absent
    int64_t expires_in;
    bool empty;
};

std::string or_null(const char *s) {
    return s ? s : "<null>";
}

// What a token record holds after a call, released again.
parsed taken(int rc, const char *msg, nimbus_token &tok) {
    parsed p{rc,
             msg,
             or_null(tok.access_token),
             or_null(tok.refresh_token),
             tok.expires_in,
             !tok.access_token && !tok.refresh_token && tok.expires_in == 0};
    nimbus_token_free(&tok);
    return p;
}

parsed parse(const std::string &body) {
    nimbus_token tok{};
    char msg[NIMBUS_MSG_SIZE] = "stale";
    int rc = nimbus_parse_token(body.data(), body.size(), &tok, msg, sizeof msg);
    return taken(rc, msg, tok);
}

parsed grant(token_server &srv, const nimbus_cfg *cfg, const char *scope) {
    nimbus_token tok{};
    char msg[NIMBUS_MSG_SIZE] = "stale";
    int rc = nimbus_grant(&srv.io, cfg, cfg ? cfg->refresh_token : nullptr, scope, &tok, msg,
                          sizeof msg);
    return taken(rc, msg, tok);
}

parsed scripted(int status, const std::string &body) {
    token_server srv;
    srv.scripted = true;
    srv.status = status;
    srv.body = body;
    test_cfg c;
    parsed g = grant(srv, c.get(), NIMBUS_DEFAULT_SCOPE);
    EXPECT_EQ(srv.posts, 1);
    EXPECT_EQ(srv.frees, 1); // the answer body went back through the table's free
    return g;
}

// The step message: "token: <redacted token URL> answered HTTP <status>[: <line>]".
std::string answered(long status, const std::string &line) {
    char url[NIMBUS_URL_MSG];
    nimbus_redact_into(nimbus_token_url(), url, sizeof url);
    return std::string("token: ") + url + " answered HTTP " + std::to_string(status) +
           (line.empty() ? "" : ": " + line);
}

} // namespace

TEST(TokenAnswer, AccessTokenRefreshTokenAndLifetime) {
    parsed p = parse(R"({"token_type":"Bearer","access_token":"at1","expires_in":3600})");
    EXPECT_EQ(p.rc, NIMBUS_OK);
    EXPECT_EQ(p.access, "at1");
    EXPECT_EQ(p.refresh, "<null>");
    EXPECT_EQ(p.expires_in, 3600);

    p = parse(R"({"access_token":"at1","refresh_token":"rt2","expires_in":"3600"})");
    EXPECT_EQ(p.rc, NIMBUS_OK);
    EXPECT_EQ(p.refresh, "rt2");
    EXPECT_EQ(p.expires_in, 0);

    EXPECT_EQ(parse(R"({"access_token":"a","expires_in":3600.0})").expires_in, 0);
    EXPECT_EQ(parse(R"({"access_token":"a","expires_in":true})").expires_in, 0);
    EXPECT_EQ(parse(R"({"access_token":"a"})").expires_in, 0);
    EXPECT_EQ(parse(R"({"access_token":"a","expires_in":-5})").expires_in, -5);
    // An unsigned value beyond the signed range saturates instead of wrapping.
    EXPECT_EQ(parse(R"({"access_token":"a","expires_in":18446744073709551615})").expires_in,
              INT64_MAX);

    // The first member of a name decides; empty or non-string refresh tokens
    // are no rotation.
    p = parse(R"({"access_token":"first","access_token":"second","expires_in":1,"expires_in":2})");
    EXPECT_EQ(p.access, "first");
    EXPECT_EQ(p.expires_in, 1);
    EXPECT_EQ(parse(R"({"access_token":"a","refresh_token":""})").refresh, "<null>");
    EXPECT_EQ(parse(R"({"access_token":"a","refresh_token":7})").refresh, "<null>");
    // A token cut short at a NUL byte is no token.
    EXPECT_EQ(parse(R"({"access_token":"a","refresh_token":"r\u0000s"})").refresh, "<null>");
    EXPECT_EQ(parse(R"({"access_token":"a","refresh_token":"r","refresh_token":"s"})").refresh,
              "r");
    // An access token next to an error is still a token answer.
    EXPECT_EQ(parse(R"({"error":"invalid_grant","access_token":"a"})").rc, NIMBUS_OK);
}

TEST(TokenAnswer, TokenLengthLimits) {
    std::string t8192(8192, 'a'), t8193(8193, 'a');
    parsed p = parse("{\"access_token\":\"" + t8192 + "\",\"refresh_token\":\"" + t8192 + "\"}");
    EXPECT_EQ(p.rc, NIMBUS_OK);
    EXPECT_EQ(p.access.size(), 8192u);
    EXPECT_EQ(p.refresh.size(), 8192u);

    p = parse("{\"access_token\":\"" + t8193 + "\",\"expires_in\":3600}");
    EXPECT_EQ(p.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(p.msg, "the access token is longer than 8 KiB");
    EXPECT_TRUE(p.empty);

    p = parse("{\"access_token\":\"a\",\"refresh_token\":\"" + t8193 + "\",\"expires_in\":3600}");
    EXPECT_EQ(p.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(p.msg, "the rotated refresh token is longer than 8 KiB");
    EXPECT_TRUE(p.empty);
}

TEST(TokenAnswer, MalformedAnswers) {
    nimbus_token tok{};
    char msg[NIMBUS_MSG_SIZE];
    EXPECT_EQ(nimbus_parse_token(nullptr, 0, &tok, msg, sizeof msg), NIMBUS_E_FAILED);
    EXPECT_STREQ(msg, "the token answer is empty");

    for (const char *body : {"", "[1]", "\"access_token\"", "null", "{\"access_token\":", "nope",
                             "{\"a\":1,}", "{'access_token':'x'}"}) {
        parsed p = parse(body);
        EXPECT_EQ(p.rc, NIMBUS_E_FAILED) << body;
        EXPECT_EQ(p.msg, "the token answer is not a JSON object") << body;
        EXPECT_TRUE(p.empty);
    }

    for (const char *body :
         {R"({})", R"({"access_token":""})", R"({"access_token":42})", R"({"access_token":null})",
          R"({"access_token":"","error":""})", R"({"error":7})", R"({"access_token":"\u0000"})",
          R"({"access_token":"ab\u0000cd"})"}) {
        parsed p = parse(body);
        EXPECT_EQ(p.rc, NIMBUS_E_FAILED) << body;
        EXPECT_EQ(p.msg, "the token answer carries no access_token and no error") << body;
        EXPECT_TRUE(p.empty);
    }

    // The length bounds the text: what follows it is not read.
    std::string text = R"({"access_token":"a"}garbage)";
    EXPECT_EQ(nimbus_parse_token(text.data(), 20, &tok, msg, sizeof msg), NIMBUS_OK);
    EXPECT_STREQ(tok.access_token, "a");
    nimbus_token_free(&tok);
    nimbus_token_free(&tok); // harmless on an empty record
    EXPECT_EQ(tok.access_token, nullptr);
}

TEST(TokenAnswer, ControlCharactersAreRefused) {
    // Hosts put tokens into headers and settings: CR, LF, any byte below
    // 0x20 and DEL refuse the answer.
    for (const char *bad : {"\\r\\nX-Injected: 1", "\\u0001", "\\t", "\\u001f", "\\u007f"}) {
        parsed p = parse(std::string(R"({"access_token":"at)") + bad + R"(","expires_in":3600})");
        EXPECT_EQ(p.rc, NIMBUS_E_FAILED) << bad;
        EXPECT_EQ(p.msg, "the access token holds a control character") << bad;
        EXPECT_TRUE(p.empty);
        p = parse(std::string(R"({"access_token":"at","refresh_token":"rt)") + bad + R"("})");
        EXPECT_EQ(p.rc, NIMBUS_E_FAILED) << bad;
        EXPECT_EQ(p.msg, "the rotated refresh token holds a control character") << bad;
        EXPECT_TRUE(p.empty);
    }
    parsed p = parse(R"({"access_token":"a ~\u0080\u00e9","refresh_token":" ~"})");
    EXPECT_EQ(p.rc, NIMBUS_OK);
}

TEST(TokenAnswer, OAuthErrorInsideA200Answer) {
    parsed p = parse(
        R"({"error":"invalid_grant","error_description":"\r\nAADSTS70008: expired\r\nTrace ID: 1"})");
    EXPECT_EQ(p.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(p.msg, "AADSTS70008: expired");
    EXPECT_TRUE(p.empty);

    // A code outside the OAuth ones is named by the mapping.
    p = parse(R"({"error":"temporarily_unavailable","error_description":"later"})");
    EXPECT_EQ(p.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(p.msg, "HTTP 400 (temporarily_unavailable)");

    // The code keeps its first 127 bytes.
    std::string code(200, 'c');
    p = parse("{\"error\":\"" + code + "\"}");
    EXPECT_EQ(p.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(p.msg, "HTTP 400 (" + code.substr(0, 127) + ")");

    // Without a usable description the answer itself is quoted, never an
    // empty message.
    for (const std::string body :
         {R"({"error":"invalid_grant"})", R"({"error":"invalid_grant","error_description":""})",
          R"({"error":"invalid_client","error_description":7})",
          R"({"error":"invalid_scope","error_description":"\n\t \n"})"}) {
        p = parse(body);
        EXPECT_EQ(p.rc, NIMBUS_E_AUTH) << body;
        EXPECT_EQ(p.msg, answered(200, body)) << body;
    }
}

TEST(Grant, FormBodyAndRequest) {
    token_server srv;
    srv.rotate = false;
    test_cfg c;
    c.refresh = "A~0 +/&=";
    c.client_secret = "s&cr=t%";
    parsed g = grant(srv, c.get(), NIMBUS_DEFAULT_SCOPE);
    EXPECT_EQ(g.rc, NIMBUS_OK) << g.msg;
    EXPECT_EQ(srv.last_body(), "grant_type=refresh_token&refresh_token=A~0%20%2B%2F%26%3D"
                               "&client_id=client-1&client_secret=s%26cr%3Dt%25"
                               "&scope=offline_access%20Files.Read.All");
    EXPECT_EQ(srv.last_url(), nimbus_token_url());
    EXPECT_EQ(srv.last_type(), "application/x-www-form-urlencoded");
    EXPECT_EQ(srv.gets, 0);
    EXPECT_EQ(srv.frees, 1);

    // An explicit scope travels with its spaces as %20; a missing one is the default.
    c.refresh = "A~0";
    EXPECT_EQ(grant(srv, c.get(), "Files.Read User.Read offline_access").rc, NIMBUS_OK);
    EXPECT_EQ(srv.last_body(), "grant_type=refresh_token&refresh_token=A~0&client_id=client-1"
                               "&client_secret=s%26cr%3Dt%25"
                               "&scope=Files.Read%20User.Read%20offline_access");
    for (const char *scope : {static_cast<const char *>(nullptr), ""}) {
        EXPECT_EQ(grant(srv, c.get(), scope).rc, NIMBUS_OK);
        EXPECT_EQ(token_server::field(srv.last_body(), "scope"), "offline_access%20Files.Read.All");
    }

    // No refresh token at all presents the empty one.
    c.has_refresh = false;
    grant(srv, c.get(), NIMBUS_DEFAULT_SCOPE);
    EXPECT_EQ(srv.last_body(), "grant_type=refresh_token&refresh_token=&client_id=client-1"
                               "&client_secret=s%26cr%3Dt%25"
                               "&scope=offline_access%20Files.Read.All");
}

TEST(Grant, PublicClientSendsNoSecret) {
    token_server srv;
    srv.rotate = false;
    test_cfg c;
    nimbus_cfg cfg = *c.get();
    cfg.public_client = 1;
    EXPECT_EQ(grant(srv, &cfg, NIMBUS_DEFAULT_SCOPE).rc, NIMBUS_OK);
    EXPECT_EQ(srv.last_body(), "grant_type=refresh_token&refresh_token=A~0&client_id=client-1"
                               "&scope=offline_access%20Files.Read.All");
    cfg.client_secret = nullptr;
    EXPECT_EQ(grant(srv, &cfg, NIMBUS_DEFAULT_SCOPE).rc, NIMBUS_OK);
    EXPECT_EQ(srv.last_body().find("client_secret"), std::string::npos);
}

TEST(Grant, SuccessfulAnswer) {
    parsed g =
        scripted(200, R"({"access_token":"at","refresh_token":"rt","expires_in":3599,"x":[1]})");
    EXPECT_EQ(g.rc, NIMBUS_OK);
    EXPECT_EQ(g.access, "at");
    EXPECT_EQ(g.refresh, "rt");
    EXPECT_EQ(g.expires_in, 3599);
}

TEST(Grant, ErrorAnswers400And401) {
    // The description reaches the mapping as it stands, up to 255 bytes.
    std::string desc = "AADSTS70000: The provided grant has expired\\nTrace ID: ";
    std::string raw = "AADSTS70000: The provided grant has expired\nTrace ID: ";
    desc += std::string(300, 'x');
    raw += std::string(300, 'x');
    parsed g =
        scripted(400, "{\"error\":\"invalid_grant\",\"error_description\":\"" + desc + "\"}");
    EXPECT_EQ(g.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(g.msg, raw.substr(0, 255));
    EXPECT_TRUE(g.empty);

    g = scripted(401, R"({"error":"invalid_client","error_description":"bad secret"})");
    EXPECT_EQ(g.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(g.msg, "bad secret");

    g = scripted(400, R"({"error":"unsupported_grant_type","error_description":"no"})");
    EXPECT_EQ(g.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(g.msg, "HTTP 400 (unsupported_grant_type)");

    // A code without a description: never an empty message.
    g = scripted(400, R"({"error":"invalid_grant"})");
    EXPECT_EQ(g.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(g.msg, answered(400, R"({"error":"invalid_grant"})"));
    g = scripted(401, R"({"error":"invalid_client","error_description":""})");
    EXPECT_EQ(g.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(g.msg, answered(401, R"({"error":"invalid_client","error_description":""})"));

    // No usable code: the answer is quoted.
    g = scripted(400, "Bad Request\r\nsecond line");
    EXPECT_EQ(g.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(g.msg, answered(400, "Bad Request"));
    g = scripted(401, R"({"error":""})");
    EXPECT_EQ(g.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(g.msg, answered(401, R"({"error":""})"));
    g = scripted(400, "[]");
    EXPECT_EQ(g.msg, answered(400, "[]"));
    g = scripted(401, "");
    EXPECT_EQ(g.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(g.msg, answered(401, ""));
}

TEST(Grant, OtherStatuses) {
    struct {
        int status;
        int rc;
    } cases[] = {
        {403, NIMBUS_E_AUTH},        {404, NIMBUS_E_NOT_FOUND},   {410, NIMBUS_E_NOT_FOUND},
        {429, NIMBUS_E_THROTTLED},   {0, NIMBUS_E_UNAVAILABLE},   {500, NIMBUS_E_UNAVAILABLE},
        {502, NIMBUS_E_UNAVAILABLE}, {503, NIMBUS_E_UNAVAILABLE}, {504, NIMBUS_E_UNAVAILABLE},
        {201, NIMBUS_E_FAILED},      {204, NIMBUS_E_FAILED},      {206, NIMBUS_E_FAILED},
        {202, NIMBUS_E_FAILED},      {302, NIMBUS_E_FAILED},      {418, NIMBUS_E_FAILED},
        {501, NIMBUS_E_FAILED},      {-1, NIMBUS_E_FAILED}};
    for (const auto &c : cases) {
        parsed g = scripted(c.status, R"({"access_token":"at","expires_in":3600})");
        EXPECT_EQ(g.rc, c.rc) << c.status;
        EXPECT_EQ(g.msg, answered(c.status, R"({"access_token":"at","expires_in":3600})"))
            << c.status;
        EXPECT_TRUE(g.empty) << c.status;
    }
    parsed g = scripted(503, "");
    EXPECT_EQ(g.rc, NIMBUS_E_UNAVAILABLE);
    EXPECT_EQ(g.msg, answered(503, ""));
    g = scripted(503, "\r\n\r\n<html>\n");
    EXPECT_EQ(g.msg, answered(503, "<html>"));
}

TEST(Grant, ExchangeFailures) {
    token_server srv;
    srv.fail = true;
    test_cfg c;
    parsed g = grant(srv, c.get(), NIMBUS_DEFAULT_SCOPE);
    EXPECT_EQ(g.rc, NIMBUS_E_UNAVAILABLE);
    char url[NIMBUS_URL_MSG];
    nimbus_redact_into(nimbus_token_url(), url, sizeof url);
    EXPECT_EQ(g.msg, std::string("POST ") + url + ": connection refused");
    EXPECT_TRUE(g.empty);
    EXPECT_EQ(srv.frees, 1); // the error text went back through the table

    nimbus_token tok{};
    char msg[NIMBUS_MSG_SIZE];
    EXPECT_EQ(nimbus_grant(nullptr, c.get(), c.get()->refresh_token, NIMBUS_DEFAULT_SCOPE, &tok,
                           msg, sizeof msg),
              NIMBUS_E_UNAVAILABLE);
    EXPECT_STREQ(msg, "no transport");
    nimbus_io half{nullptr, nullptr, srv.io.post, nullptr};
    EXPECT_EQ(nimbus_grant(&half, c.get(), c.get()->refresh_token, NIMBUS_DEFAULT_SCOPE, &tok, msg,
                           sizeof msg),
              NIMBUS_E_UNAVAILABLE);
    EXPECT_STREQ(msg, "no transport");
}

TEST(Grant, MessagesAreBoundedAndTheUrlIsRedacted) {
    token_server srv;
    srv.scripted = true;
    srv.status = 503;
    srv.body = "down";
    test_cfg c;
    nimbus_token tok{};
    char msg[10];
    EXPECT_EQ(
        nimbus_grant(&srv.io, c.get(), c.get()->refresh_token, nullptr, &tok, msg, sizeof msg),
        NIMBUS_E_UNAVAILABLE);
    EXPECT_STREQ(msg, "token: ht");
    EXPECT_EQ(nimbus_grant(&srv.io, c.get(), c.get()->refresh_token, nullptr, &tok, nullptr, 0),
              NIMBUS_E_UNAVAILABLE);

    const char *saved = nimbus_token_url();
    static const char odd_url[] = "https://user:pw@token.invalid/t?client_secret=abc&x=1";
    nimbus_test_endpoints(nullptr, odd_url);
    char big[NIMBUS_MSG_SIZE];
    EXPECT_EQ(
        nimbus_grant(&srv.io, c.get(), c.get()->refresh_token, nullptr, &tok, big, sizeof big),
        NIMBUS_E_UNAVAILABLE);
    EXPECT_EQ(srv.last_url(), odd_url);
    EXPECT_STREQ(big,
                 "token: https://token.invalid/t?client_secret=***&x=1 answered HTTP 503: down");
    nimbus_test_endpoints(nullptr, saved);
    EXPECT_EQ(nimbus_token_url(), saved);
}
