// Settings validation probe end to end through nimbus_validate.
#include <cctype>
#include <cstring>
#include <string>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct ValidateTest : FakeTest {};

// xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx, lower-case hex, y one of 8, 9, a, b.
bool is_guid(const std::string &s) {
    if (s.size() != 36)
        return false;
    for (size_t i = 0; i < 36; i++) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (s[i] == '-'))
            return false;
        if (!dash && !std::isdigit((unsigned char)s[i]) && (s[i] < 'a' || s[i] > 'f'))
            return false;
    }
    return s[14] == '4' && std::strchr("89ab", s[19]) != nullptr;
}

// The "ID" member's value of a validate answer, checked to be a version-4 GUID.
std::string id_of(const std::string &answer, const std::string &prefix) {
    EXPECT_EQ(0u, answer.find(prefix)) << answer;
    if (answer.size() != prefix.size() + 7 + 36 + 2)
        return "";
    EXPECT_EQ(",\"ID\":\"", answer.substr(prefix.size(), 7));
    std::string id = answer.substr(prefix.size() + 7, 36);
    EXPECT_TRUE(is_guid(id)) << id;
    EXPECT_EQ("\"}", answer.substr(prefix.size() + 43));
    return id;
}

TEST_F(ValidateTest, AnswersWithAndWithoutId) {
    script_token();
    script_get(first_page(kRoot), 200, page({}));
    // An empty root validates; the cached refresh token equals the configured one.
    outcome o = validate(settings("\"ID\":\"backend-7\""));
    EXPECT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\"}", o.out);
    EXPECT_EQ(o.out, o.result);
    EXPECT_EQ("", o.error);

    std::string a = id_of(validate(settings()).out, "{\"RuntimeType\":\"ONEDRIVE\"");
    std::string b = id_of(validate(settings("\"ID\":\"  \"")).out, "{\"RuntimeType\":\"ONEDRIVE\"");
    EXPECT_NE(a, b);
    EXPECT_EQ(1, grants());
    EXPECT_EQ(3, gets(first_page(kRoot)));
}

TEST_F(ValidateTest, RotatedRefreshTokenIsReported) {
    script_token("at-1", "rt-rotated-2");
    script_get(first_page(kRoot), 200, page({item("A1", "a.mp3")}));
    std::string o = validate(settings()).out;
    id_of(o, "{\"RuntimeType\":\"ONEDRIVE\",\"refresh_token\":\"rt-rotated-2\"");
    // Settings that already carry the rotated token get no refresh-token member.
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\"}",
              validate("{\"ClientId\":\"" + kClientId + "\",\"ClientSecret\":\"" + kSecret +
                       "\",\"refresh_token\":\"rt-rotated-2\",\"ID\":\"x\"}")
                  .out);
}

TEST_F(ValidateTest, BusinessSettings) {
    script_token("at-1", "rt-rotated-b");
    const std::string url = kGraph + "/me/drive/root:/Team%20Files:/children";
    script_get(first_page(url), 200, page({}));
    outcome o =
        validate(settings("\"RuntimeType\":\"ONEDRIVEB\",\"Path\":\"/Team Files\",\"ID\":\"b1\""));
    EXPECT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVEB\",\"RefreshToken\":\"rt-rotated-b\"}", o.out);
    EXPECT_EQ(1, gets(first_page(url)));
}

TEST_F(ValidateTest, ListsTheRootToTheEnd) {
    script_token();
    const std::string p2 = kRoot + "?p=2", p3 = kRoot + "?p=3";
    script_get(first_page(kRoot), 200, page({item("A1", "a")}, p2));
    script_get(p2, 200, page({item("B1", "b")}, p3));
    script_get(p3, 200, page({item("C1", "c")}));
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\"}", validate(settings("\"ID\":\"x\"")).out);
    EXPECT_EQ(1, gets(p3));
    // A later page that fails fails the probe (its pages are read as the
    // flat listing reads them, whose failures the listing tests check).
    script_get(p3, 500, "boom");
    EXPECT_EQ(NIMBUS_E_UNAVAILABLE, validate(settings("\"ID\":\"x\"")).rc);
}

TEST_F(ValidateTest, SessionFailureSendsNothingElse) {
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("POST", kTokenUrl.c_str(), 400,
                                         "{\"error\":\"invalid_grant\",\"error_description\":"
                                         "\"AADSTS70008: expired\"}"));
    expect_failure(validate(settings()), NIMBUS_E_AUTH, "AADSTS70008: expired");
    EXPECT_EQ(1, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(ValidateTest, RefreshAndRetryOnCachedToken) {
    once_io io;
    nimbus_io table = io.table();
    ASSERT_EQ(NIMBUS_OK, nimbus_set_io(&table));
    script_get(first_page(kRoot), 200, page({}));
    script_token("at-first");
    ASSERT_EQ(NIMBUS_OK, validate(settings("\"ID\":\"x\"")).rc);

    script_token("at-second", "rt-new");
    io.queue("GET", first_page(kRoot), 401, "");
    outcome o = validate(settings("\"ID\":\"x\""));
    EXPECT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\",\"refresh_token\":\"rt-new\"}", o.out);
    EXPECT_EQ(2, grants());
    EXPECT_EQ(2, gets(first_page(kRoot)));
    EXPECT_EQ("at-second", io.last_bearer(first_page(kRoot)));
}

TEST_F(ValidateTest, RefreshTokenOfTheRequestsOwnAccount) {
    // Two accounts of one application registration: each validation reports
    // the refresh token rotated for its own account.
    once_io io;
    nimbus_io table = io.table();
    ASSERT_EQ(NIMBUS_OK, nimbus_set_io(&table));
    script_get(first_page(kRoot), 200, page({}));
    const std::string a = settings("\"ID\":\"a\"");
    const std::string b = "{\"ClientId\":\"" + kClientId + "\",\"ClientSecret\":\"" + kSecret +
                          "\",\"refresh_token\":\"rt-account-b\",\"ID\":\"b\"}";
    io.queue("POST", kTokenUrl, 200, token_answer("at-a", "rt-a-2"));
    io.queue("POST", kTokenUrl, 200, token_answer("at-b", "rt-b-2"));
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\",\"refresh_token\":\"rt-a-2\"}", validate(a).out);
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\",\"refresh_token\":\"rt-b-2\"}", validate(b).out);
    // Both are served from the cache now, still each with its own token.
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\",\"refresh_token\":\"rt-a-2\"}", validate(a).out);
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\",\"refresh_token\":\"rt-b-2\"}", validate(b).out);
    EXPECT_EQ(2, io.hits("POST", kTokenUrl));
    EXPECT_EQ("at-b", io.last_bearer(first_page(kRoot)));
}

// A host transport that wipes the token cache while the root is listed, as a
// nimbus_forget_tokens on another thread (or eviction by other accounts) can.
int wiping_get(void *, const char *url, char **body, int32_t *status, char **error) {
    nimbus_forget_tokens();
    return nimbus_io_fake()->get(nullptr, url, body, status, error);
}
int plain_post(void *, const char *url, const char *req, const char *type, char **answer,
               int32_t *status, char **error) {
    return nimbus_io_fake()->post(nullptr, url, req, type, answer, status, error);
}

TEST_F(ValidateTest, RotatedTokenSurvivesALostCacheEntry) {
    const nimbus_io wiping = {nullptr, wiping_get, plain_post, nullptr};
    ASSERT_EQ(NIMBUS_OK, nimbus_set_io(&wiping));
    script_token("at-1", "rt-rotated-9");
    script_get(first_page(kRoot), 200, page({}));
    outcome o = validate(settings("\"ID\":\"x\""));
    EXPECT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ("{\"RuntimeType\":\"ONEDRIVE\",\"refresh_token\":\"rt-rotated-9\"}", o.out);
    EXPECT_EQ(1, grants());
}

} // namespace
