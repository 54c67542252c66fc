// The flat exports: outcome table, no-buffer convenience, transport selection
// and identity.
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct ExportsTest : FakeTest {};

const std::string kPage = page({item("A1", "a.mp3")});
const std::string kJson = items_json({entry("a.mp3", "/a.mp3", false, 5, 0, "A1", "")});

TEST_F(ExportsTest, Identity) {
    EXPECT_STREQ(NIMBUS_VERSION_STRING, nimbus_version());
    EXPECT_STREQ("ONEDRIVE", nimbus_runtime_type());
    EXPECT_EQ(35, nimbus_caps());
    EXPECT_EQ(hvtab_get()->caps, nimbus_caps());
}

TEST_F(ExportsTest, OutcomeTableForSuccess) {
    script_token();
    script_get(first_page(kRoot), 200, kPage);
    const std::string s = settings();
    const size_t n = kJson.size();

    // Buffer of exactly the JSON length + 1: the whole answer.
    std::vector<char> out(n + 1, 'x');
    EXPECT_EQ(NIMBUS_OK, nimbus_list(s.c_str(), nullptr, out.data(), (int32_t)(n + 1)));
    EXPECT_EQ(kJson, out.data());
    EXPECT_EQ(kJson, nimbus_result_json());
    EXPECT_STREQ("", nimbus_last_error());

    // Exactly the JSON length: no room for the NUL.
    std::fill(out.begin(), out.end(), 'x');
    EXPECT_EQ(NIMBUS_E_BUFFER, nimbus_list(s.c_str(), nullptr, out.data(), (int32_t)n));
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ('x', out[1]);
    EXPECT_EQ(kJson, nimbus_result_json());
    EXPECT_STREQ("output buffer too small", nimbus_last_error());

    // No buffer through the flat export: success, read the per-thread answer.
    EXPECT_EQ(NIMBUS_OK, nimbus_list(s.c_str(), nullptr, nullptr, 0));
    EXPECT_EQ(kJson, nimbus_result_json());
    EXPECT_STREQ("", nimbus_last_error());
    out.assign(4, 'x');
    EXPECT_EQ(NIMBUS_OK, nimbus_list(s.c_str(), nullptr, out.data(), 0));
    EXPECT_EQ('x', out[0]); // untouched
    EXPECT_EQ(kJson, nimbus_result_json());
    EXPECT_EQ(NIMBUS_OK, nimbus_list(s.c_str(), nullptr, out.data(), -5));
    EXPECT_EQ('x', out[0]);

    // No buffer through the handler record: NIMBUS_E_BUFFER, answer published.
    nimbus_io fake = *nimbus_io_fake();
    EXPECT_EQ(NIMBUS_E_BUFFER, hvtab_get()->list(&fake, s.c_str(), nullptr, nullptr, 0));
    EXPECT_EQ(kJson, nimbus_result_json());
    EXPECT_STREQ("output buffer too small", nimbus_last_error());
    EXPECT_EQ(6, gets(first_page(kRoot)));
}

TEST_F(ExportsTest, OutcomeTableForFailure) {
    const std::string msg = "ClientSecret is required";
    const std::string s = "{\"ClientId\":\"c\"}";
    const std::string ej = error_json(msg);
    std::vector<char> out(ej.size() + 1, 'x');
    EXPECT_EQ(NIMBUS_E_INVALID,
              nimbus_list(s.c_str(), nullptr, out.data(), (int32_t)(ej.size() + 1)));
    EXPECT_EQ(ej, out.data());
    EXPECT_STREQ("", nimbus_result_json());
    EXPECT_EQ(msg, nimbus_last_error());

    // The error JSON does not fit: the failure keeps its own code.
    std::fill(out.begin(), out.end(), 'x');
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_list(s.c_str(), nullptr, out.data(), (int32_t)ej.size()));
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ(msg, nimbus_last_error());

    // No buffer: the failure's code, not NIMBUS_OK or NIMBUS_E_BUFFER.
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_list(s.c_str(), nullptr, nullptr, 0));
    EXPECT_STREQ("", nimbus_result_json());
    EXPECT_EQ(msg, nimbus_last_error());
}

TEST_F(ExportsTest, NoTransportAndSettingsFirst) {
    ASSERT_EQ(NIMBUS_OK, nimbus_set_io(nullptr));
    const std::string s = settings();
    std::vector<char> out(256);
    EXPECT_EQ(NIMBUS_E_UNAVAILABLE, nimbus_list(s.c_str(), "/Music", out.data(), 256));
    EXPECT_STREQ("no transport", nimbus_last_error());
    EXPECT_EQ(error_json("no transport"), out.data());
    EXPECT_EQ(NIMBUS_E_UNAVAILABLE, nimbus_validate(s.c_str(), out.data(), 256));
    EXPECT_STREQ("no transport", nimbus_last_error());
    EXPECT_EQ(NIMBUS_E_UNAVAILABLE, nimbus_stream_url(s.c_str(), "\"/a.mp3\"", out.data(), 256));
    EXPECT_STREQ("no transport", nimbus_last_error());
    EXPECT_STREQ("", nimbus_result_json());

    const char *bad = "{\"ClientId\":\"c\",\"ClientSecret\":\"s\"}";
    const char *bad_msg = "a refresh token (refresh_token or RefreshToken) is required";
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_list(bad, nullptr, out.data(), 256));
    EXPECT_STREQ(bad_msg, nimbus_last_error());
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_validate(bad, out.data(), 256));
    EXPECT_STREQ(bad_msg, nimbus_last_error());
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_stream_url(bad, "\"/a.mp3\"", out.data(), 256));
    EXPECT_STREQ(bad_msg, nimbus_last_error());
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_list(nullptr, nullptr, out.data(), 256));
    EXPECT_STREQ("settings are NULL", nimbus_last_error());
    EXPECT_EQ(0, nimbus_fake_calls(nullptr, nullptr));

    EXPECT_EQ(NIMBUS_E_UNSUPPORTED, nimbus_use_curl());
    EXPECT_EQ(NIMBUS_E_UNAVAILABLE, nimbus_list(s.c_str(), nullptr, nullptr, 0));
}

TEST_F(ExportsTest, DownloadIsRefused) {
    const std::string e = "{\"error\":\"ONEDRIVE is read-only: download is not supported\"}";
    ASSERT_EQ(60u, e.size());
    char out[61];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(NIMBUS_E_UNSUPPORTED, nimbus_download(settings().c_str(), "/a.mp3", out, 61));
    EXPECT_EQ(e, std::string(out));
    EXPECT_STREQ("", nimbus_result_json());
    EXPECT_STREQ("ONEDRIVE is read-only: download is not supported", nimbus_last_error());

    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(NIMBUS_E_UNSUPPORTED, nimbus_download(nullptr, nullptr, out, 60));
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ('x', out[1]);
    EXPECT_STREQ("", nimbus_result_json());
    EXPECT_STREQ("ONEDRIVE is read-only: download is not supported", nimbus_last_error());

    EXPECT_EQ(NIMBUS_E_UNSUPPORTED, nimbus_download("not json", nullptr, nullptr, 0));
    EXPECT_EQ(0, nimbus_fake_calls(nullptr, nullptr));
}

// A host transport whose first GET switches the process-wide selection to
// another table; the running request keeps the table it started with.
struct switching {
    static int hits_a, hits_b;
    static int get_a(void *, const char *url, char **body, int32_t *status, char **error) {
        hits_a++;
        nimbus_io other = {nullptr, get_b, post, nullptr};
        nimbus_set_io(&other);
        return nimbus_io_fake()->get(nullptr, url, body, status, error);
    }
    static int get_b(void *, const char *, char **, int32_t *, char **error) {
        hits_b++;
        *error = strdup("wrong table");
        return -1;
    }
    static int post(void *, const char *url, const char *req, const char *type, char **answer,
                    int32_t *status, char **error) {
        return nimbus_io_fake()->post(nullptr, url, req, type, answer, status, error);
    }
};
int switching::hits_a = 0, switching::hits_b = 0;

TEST_F(ExportsTest, FlatRequestKeepsItsCopyOfTheSelection) {
    script_token();
    const std::string p2 = kRoot + "?p=2";
    script_get(first_page(kRoot), 200, page({item("A1", "a.mp3")}, p2));
    script_get(p2, 200, page({item("B1", "b.mp3")}));
    nimbus_io a = {nullptr, switching::get_a, switching::post, nullptr};
    ASSERT_EQ(NIMBUS_OK, nimbus_set_io(&a));
    outcome o = list(settings(), nullptr);
    EXPECT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(2, switching::hits_a);
    EXPECT_EQ(0, switching::hits_b);
    // The next request uses the table selected meanwhile.
    expect_failure(list(settings(), nullptr), NIMBUS_E_UNAVAILABLE,
                   "GET " + first_page(kRoot) + ": wrong table");
    EXPECT_EQ(1, switching::hits_b);
}

TEST_F(ExportsTest, PublishReplacesBothStrings) {
    nimbus_publish(NIMBUS_E_FAILED, "boom", "ignored?");
    EXPECT_STREQ("boom", nimbus_last_error());
    EXPECT_STREQ("ignored?", nimbus_result_json());
    nimbus_publish(NIMBUS_OK, "not shown", nullptr);
    EXPECT_STREQ("", nimbus_last_error());
    EXPECT_STREQ("", nimbus_result_json());
    nimbus_publish(NIMBUS_E_FAILED, nullptr, nullptr);
    EXPECT_STREQ("", nimbus_last_error());
    // The old text may be passed in again.
    nimbus_publish(NIMBUS_OK, nullptr, "{\"a\":1}");
    nimbus_publish(NIMBUS_OK, nullptr, nimbus_result_json());
    EXPECT_STREQ("{\"a\":1}", nimbus_result_json());
    nimbus_publish_owned(NIMBUS_E_BUFFER, "output buffer too small", strdup("{}"));
    EXPECT_STREQ("{}", nimbus_result_json());
    EXPECT_STREQ("output buffer too small", nimbus_last_error());
}

} // namespace
