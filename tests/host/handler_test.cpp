// The handler record, the runner's order of checks and the stream entry
// argument, called through hvtab_get(); the flat exports run the same record.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct HandlerTest : FakeTest {
    const nimbus_handler *h = hvtab_get();
    nimbus_io fake = *nimbus_io_fake();
};

const std::string kNoId = "entry has no OneDrive id (\"id\", \"path\" or \"backend_id\")";

outcome hstream(const nimbus_handler *h, const nimbus_io *io, const char *s, const char *entry) {
    std::vector<char> out(4096, 'x');
    int rc = h->stream_url(io, s, entry, out.data(), 4096);
    return finish_outcome(rc, out.data());
}

std::string target_of(const char *entry) {
    char msg[768] = {};
    char *t = nullptr;
    int rc = nimbus_entry_target(entry, &t, msg, sizeof msg);
    std::string r = rc == NIMBUS_OK ? std::string("T:") + t : std::string("E:") + msg;
    EXPECT_EQ(rc == NIMBUS_OK, t != nullptr);
    std::free(t);
    return r;
}

TEST_F(HandlerTest, Record) {
    EXPECT_EQ(&nimbus::nimbus_handler, h);
    EXPECT_STREQ("ONEDRIVE", h->runtime_type);
    EXPECT_EQ(35, h->caps);
    EXPECT_NE(nullptr, h->validate);
    EXPECT_NE(nullptr, h->list);
    EXPECT_NE(nullptr, h->stream_url);
    EXPECT_NE(nullptr, h->download);
}

TEST_F(HandlerTest, EntryArgumentReader) {
    EXPECT_EQ("T:/Music/a.mp3", target_of("\"/Music/a.mp3\""));
    EXPECT_EQ("T:", target_of("\"\""));
    EXPECT_EQ("T:a..b", target_of("\"a..b\"")); // a string root is not examined
    EXPECT_EQ("T:/Music/a.mp3", target_of("{\"id\":\"\",\"path\":\"/Music/a.mp3\"}"));
    EXPECT_EQ("T:X1", target_of("{\"id\":\"a..b\",\"backend_id\":\"X1\"}"));
    EXPECT_EQ("T:L1", target_of("{\"path\":7,\"locator\":\"L1\",\"backend_id\":\"X1\"}"));
    EXPECT_EQ("T:first", target_of("{\"id\":\"first\",\"id\":\"second\"}"));
    // The first "id" decides for the name even when a later one would do.
    EXPECT_EQ("T:X1", target_of("{\"id\":\"a..b\",\"id\":\"ok\",\"backend_id\":\"X1\"}"));
    EXPECT_EQ("T:/a/../b", target_of("{\"path\":\"/a/../b\"}")); // judged by the operation
    EXPECT_EQ("T:ID", target_of("  {\"ID\":\"x\",\"Id\":\"y\",\"id\":\"ID\"}  "));
    for (const char *bad :
         {"{\"id\":42}", "{\"id\":[\"X1\"]}", "{\"id\":null}", "/Music/a.mp3", "42", "true", "null",
          "[\"X1\"]", "{}", "{\"id\":\"a\\tb\"}", "", "{\"ID\":\"X1\"}", "\"unterminated"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ("E:" + kNoId, target_of(bad));
    }
    EXPECT_EQ("E:entry is NULL", target_of(nullptr));
}

TEST_F(HandlerTest, StreamEntryRunsTheOperation) {
    script_token();
    const std::string path_url = kGraph + "/me/drive/root:/Music/a.mp3";
    const std::string item =
        "{\"id\":\"X1\",\"name\":\"a.mp3\",\"@content.downloadUrl\":\"https://u\"}";
    const std::string loc =
        "{\"url\":\"https://u\",\"id\":\"X1\",\"name\":\"a.mp3\",\"size\":-1,\"range\":true}";
    script_get(path_url, 200, item);
    script_get(kGraph + "/me/drive/items/X1", 200, item);
    const std::string s = settings();

    EXPECT_EQ(loc, hstream(h, &fake, s.c_str(), "\"/Music/a.mp3\"").out);
    EXPECT_EQ(loc, hstream(h, &fake, s.c_str(), "{\"id\":\"\",\"path\":\"/Music/a.mp3\"}").out);
    EXPECT_EQ(2, gets(path_url));
    EXPECT_EQ(loc, hstream(h, &fake, s.c_str(), "{\"id\":\"a..b\",\"backend_id\":\"X1\"}").out);
    EXPECT_EQ(1, gets(kGraph + "/me/drive/items/X1"));
    // An empty string target reaches the operation, which refuses it.
    expect_failure(hstream(h, &fake, s.c_str(), "\"\""), NIMBUS_E_NOT_FOUND, "entry is empty");
    EXPECT_EQ(1, grants());
    EXPECT_EQ(4, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(HandlerTest, StreamOrderOfChecks) {
    script_token();
    const std::string s = settings();
    // An entry the reader refuses fails before any request.
    expect_failure(hstream(h, &fake, s.c_str(), "{\"id\":42}"), NIMBUS_E_NOT_FOUND, kNoId);
    // Settings are checked before the entry; the transport is not looked at.
    expect_failure(hstream(h, &fake, nullptr, nullptr), NIMBUS_E_INVALID, "settings are NULL");
    expect_failure(hstream(h, nullptr, "{}", "{\"id\":1}"), NIMBUS_E_INVALID,
                   "ClientId is required");
    expect_failure(hstream(h, nullptr, s.c_str(), nullptr), NIMBUS_E_NOT_FOUND, "entry is NULL");
    // A usable entry: settings, then transport.
    expect_failure(hstream(h, nullptr, s.c_str(), "\"X1\""), NIMBUS_E_UNAVAILABLE, "no transport");
    expect_failure(hstream(h, nullptr, "[]", "\"X1\""), NIMBUS_E_INVALID,
                   "settings are not a JSON object");
    EXPECT_EQ(0, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(HandlerTest, SecretsMaskedInErrorJsonAndLastError) {
    // The token endpoint quotes the secret and the refresh token in its answer.
    ASSERT_EQ(NIMBUS_OK,
              nimbus_fake_set(
                  "POST", kTokenUrl.c_str(), 500,
                  ("secret " + kSecret + " token " + kRefresh + " scope Files.Read").c_str()));
    const std::string s = settings("\"scope\":\"Files.Read\"");
    const std::string msg =
        "token: " + kTokenUrl + " answered HTTP 500: secret *** token *** scope ***";
    expect_failure(hstream(h, &fake, s.c_str(), "\"X1\""), NIMBUS_E_UNAVAILABLE, msg);
    // The access token of the session is masked as well.
    script_token("at-secret-value");
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_fail("GET", (kGraph + "/me/drive/items/X1").c_str(),
                                          "denied at-secret-value for cid-1234"));
    expect_failure(hstream(h, &fake, s.c_str(), "\"X1\""), NIMBUS_E_UNAVAILABLE,
                   "GET " + kGraph + "/me/drive/items/X1: denied *** for ***");
}

TEST_F(HandlerTest, FinishNamesAFailureWithoutMessage) {
    char msg[NIMBUS_MSG_SIZE] = {};
    nimbus_buf res{};
    char out[64];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(NIMBUS_E_AUTH,
              nimbus_finish("list", NIMBUS_E_AUTH, &res, msg, nullptr, nullptr, out, sizeof out));
    EXPECT_STREQ("list failed with result code -1", nimbus_last_error());
    EXPECT_EQ(error_json("list failed with result code -1"), out);
    EXPECT_STREQ("", nimbus_result_json());
    // The operation's own message wins, and secrets are masked in it.
    nimbus_cfg cfg{};
    char secret[] = "sec-ret-5678";
    cfg.client_secret = secret;
    std::snprintf(msg, sizeof msg, "refused sec-ret-5678");
    EXPECT_EQ(NIMBUS_E_FAILED,
              nimbus_finish("stream", NIMBUS_E_FAILED, &res, msg, &cfg, nullptr, out, sizeof out));
    EXPECT_STREQ("refused ***", nimbus_last_error());
    // Success with nothing appended answers "{}".
    EXPECT_EQ(NIMBUS_OK,
              nimbus_finish("list", NIMBUS_OK, &res, msg, nullptr, nullptr, out, sizeof out));
    EXPECT_STREQ("{}", out);
    EXPECT_STREQ("{}", nimbus_result_json());
    EXPECT_STREQ("", nimbus_last_error());
}

TEST_F(HandlerTest, NoFailureWithoutMessage) {
    // An OAuth error without a description carries no text of its own.
    ASSERT_EQ(NIMBUS_OK,
              nimbus_fake_set("POST", kTokenUrl.c_str(), 400, "{\"error\":\"invalid_grant\"}"));
    std::vector<char> out(4096);
    for (int op = 0; op < 3; op++) {
        SCOPED_TRACE(op);
        int rc = op == 0   ? h->list(&fake, settings().c_str(), nullptr, out.data(), 4096)
                 : op == 1 ? h->stream_url(&fake, settings().c_str(), "\"X1\"", out.data(), 4096)
                           : h->validate(&fake, settings().c_str(), out.data(), 4096);
        EXPECT_EQ(NIMBUS_E_AUTH, rc);
        std::string err = nimbus_last_error();
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(error_json(err), out.data());
        const char *name[] = {"list", "stream", "validate"};
        if (err.find("failed with result code") != std::string::npos) {
            EXPECT_EQ(std::string(name[op]) + " failed with result code -1", err);
        }
    }
}

} // namespace
