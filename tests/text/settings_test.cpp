// Settings parsing: every fault with its message, trimming, value kinds,
// the refresh token's two keys, Path handling and the two modes.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "text/text.h"

namespace {

struct parsed {
    int rc;
    std::string msg;
};

bool empty(const nimbus_cfg &c) {
    return c.client_id == nullptr && c.client_secret == nullptr && c.refresh_token == nullptr &&
           c.scope == nullptr && c.path == nullptr && c.id == nullptr && c.business == 0 &&
           c.public_client == 0 && c.cloud == NIMBUS_CLOUD_GLOBAL;
}

parsed parse(const char *text, int strict, nimbus_cfg *cfg) {
    char msg[NIMBUS_MSG_SIZE];
    std::strcpy(msg, "untouched");
    int rc = nimbus_cfg_parse(text, strict, cfg, msg, sizeof msg);
    return {rc, msg};
}

// Parses expecting a fault; checks the record is empty afterwards.
std::string fault(const std::string &text, int strict = 1) {
    nimbus_cfg cfg{};
    parsed p = parse(text.c_str(), strict, &cfg);
    EXPECT_EQ(NIMBUS_E_INVALID, p.rc) << text;
    EXPECT_TRUE(empty(cfg)) << text;
    nimbus_cfg_free(&cfg);
    EXPECT_TRUE(empty(cfg));
    return p.msg;
}

const std::string base = R"("ClientId":"cid","ClientSecret":"sec","refresh_token":"rt")";

std::string obj(const std::string &members) {
    return "{" + members + "}";
}

TEST(Settings, FullRecord) {
    nimbus_cfg cfg{};
    std::string text = R"({"RuntimeType":"ONEDRIVEB","ClientId":" cid ","ClientSecret":"\tsec\n",)"
                       R"("refresh_token":"rt","scope":"Files.Read offline_access",)"
                       R"("Path":"/Music/Albums","ID":"b1","other":[1,2]})";
    parsed p = parse(text.c_str(), 1, &cfg);
    ASSERT_EQ(NIMBUS_OK, p.rc) << p.msg;
    EXPECT_EQ("untouched", p.msg);
    EXPECT_STREQ("cid", cfg.client_id);
    EXPECT_STREQ("sec", cfg.client_secret);
    EXPECT_STREQ("rt", cfg.refresh_token);
    EXPECT_STREQ("Files.Read offline_access", cfg.scope);
    EXPECT_STREQ("Music/Albums", cfg.path);
    EXPECT_STREQ("b1", cfg.id);
    EXPECT_EQ(1, cfg.business);
    EXPECT_STREQ("Files.Read offline_access", nimbus_scope_of(&cfg));

    // A second parse into the same record empties it first.
    p = parse(obj(base).c_str(), 1, &cfg);
    ASSERT_EQ(NIMBUS_OK, p.rc);
    EXPECT_EQ(nullptr, cfg.scope);
    EXPECT_EQ(nullptr, cfg.path);
    EXPECT_EQ(nullptr, cfg.id);
    EXPECT_EQ(0, cfg.business);
    EXPECT_STREQ("offline_access Files.Read.All", nimbus_scope_of(&cfg));
    nimbus_cfg_free(&cfg);
    EXPECT_TRUE(empty(cfg));
    nimbus_cfg_free(&cfg);
    EXPECT_STREQ("offline_access Files.Read.All", nimbus_scope_of(nullptr));
    nimbus_cfg blank_scope{};
    char empty_text[] = "";
    blank_scope.scope = empty_text;
    EXPECT_STREQ("offline_access Files.Read.All", nimbus_scope_of(&blank_scope));
}

TEST(Settings, FaultsInOrder) {
    nimbus_cfg cfg{};
    parsed p = parse(nullptr, 1, &cfg);
    EXPECT_EQ(NIMBUS_E_INVALID, p.rc);
    EXPECT_EQ("settings are NULL", p.msg);

    EXPECT_EQ("settings are not a JSON object", fault(""));
    EXPECT_EQ("settings are not a JSON object", fault("[]"));
    EXPECT_EQ("settings are not a JSON object", fault("\"x\""));
    EXPECT_EQ("settings are not a JSON object", fault("{\"a\":1,}"));
    EXPECT_EQ("settings are not a JSON object", fault("{} x"));
    EXPECT_EQ("settings are not a JSON object", fault("/*c*/{}"));
    EXPECT_EQ("settings are not a JSON object", fault("{\"a\":NaN}"));
    EXPECT_EQ("ClientId is required", fault("{}"));
    EXPECT_EQ("RuntimeType is not ONEDRIVE", fault(R"({"RuntimeType":"X"})"));
    EXPECT_EQ("RuntimeType is not ONEDRIVE", fault(R"({"RuntimeType":true})"));
    EXPECT_EQ("RuntimeType is not ONEDRIVE", fault(R"({"RuntimeType":"ONEDRIVE "})"));
    EXPECT_EQ("RuntimeType is not ONEDRIVE", fault(R"({"RuntimeType":"onedrive"})"));
    EXPECT_EQ("ClientId is required", fault(R"({"RuntimeType":null})"));
    EXPECT_EQ("ClientId is required", fault(R"({"RuntimeType":""})"));
    EXPECT_EQ("ClientId is required", fault(R"({"ClientId":" \t\r\n "})"));
    EXPECT_EQ("ClientId is required", fault(R"({"ClientId":1.5})"));
    EXPECT_EQ("ClientId is required", fault(R"({"ClientId":null})"));
    EXPECT_EQ("ClientId is required", fault(R"({"ClientId":["x"]})"));
    EXPECT_EQ("ClientId is required", fault(R"({"ClientId":{"a":"x"}})"));
    EXPECT_EQ("ClientId is required", fault(R"({"clientid":"x"})"));
    EXPECT_EQ("ClientSecret is required", fault(R"({"ClientId":"c"})"));
    EXPECT_EQ("a refresh token (refresh_token or RefreshToken) is required",
              fault(R"({"ClientId":"c","ClientSecret":"s"})"));
    EXPECT_EQ(
        "a refresh token (refresh_token or RefreshToken) is required",
        fault(R"({"ClientId":"c","ClientSecret":"s","refresh_token":" ","RefreshToken":""})"));
    EXPECT_EQ("the refresh token is longer than 8 KiB",
              fault(R"({"ClientId":"c","ClientSecret":"s","RefreshToken":")" +
                    std::string(8193, 'r') + "\"}"));
    EXPECT_EQ("the refresh token is longer than 8 KiB",
              fault(R"({"ClientId":"c","ClientSecret":"s","RefreshToken":")" +
                        std::string(8193, 'r') + "\"}",
                    0));
    EXPECT_EQ("scope is longer than 512 bytes",
              fault(obj(base + R"(,"scope":")" + std::string(513, 's') + "\"")));
    EXPECT_EQ("Path is not a valid drive path", fault(obj(base + R"(,"Path":"/Music/")")));
    // The first fault wins: a bad RuntimeType before a missing ClientId.
    EXPECT_EQ("RuntimeType is not ONEDRIVE", fault(R"({"ClientId":"","RuntimeType":"B","scope":")" +
                                                   std::string(600, 's') + "\"}"));
    EXPECT_EQ("ClientSecret is required",
              fault(R"({"ClientId":"c","scope":")" + std::string(600, 's') + "\"}"));
}

TEST(Settings, PublicClient) {
    // A public client may leave the secret out; a confidential one may not.
    nimbus_cfg cfg{};
    parsed p = parse(R"({"ClientId":"cid","PublicClient":true,"refresh_token":"rt"})", 1, &cfg);
    ASSERT_EQ(NIMBUS_OK, p.rc) << p.msg;
    EXPECT_EQ(1, cfg.public_client);
    EXPECT_EQ(nullptr, cfg.client_secret);
    p = parse(R"({"ClientId":"cid","ClientSecret":" ","PublicClient":true,"RefreshToken":"r"})", 1,
              &cfg);
    EXPECT_EQ(NIMBUS_OK, p.rc) << p.msg;
    p = parse(R"({"ClientId":"cid","ClientSecret":"s","refresh_token":"rt"})", 1, &cfg);
    EXPECT_EQ(NIMBUS_OK, p.rc);
    EXPECT_EQ(0, cfg.public_client);
    nimbus_cfg_free(&cfg);
    EXPECT_EQ("ClientSecret is required",
              fault(R"({"ClientId":"cid","PublicClient":false,"refresh_token":"rt"})"));
    EXPECT_EQ("ClientSecret is required", fault(R"({"ClientId":"cid","refresh_token":"rt"})"));
    EXPECT_EQ("PublicClient must be true or false",
              fault(R"({"ClientId":"cid","PublicClient":"true","refresh_token":"rt"})"));
    EXPECT_EQ("PublicClient must be true or false", fault(obj(base + R"(,"PublicClient":1)")));
}

TEST(Settings, SizeLimitAtOneMiB) {
    // A valid object padded with white space to exactly 1 MiB.
    std::string text = obj(base);
    text.append(1048576 - text.size(), ' ');
    ASSERT_EQ(1048576u, text.size());
    nimbus_cfg cfg{};
    EXPECT_EQ(NIMBUS_OK, parse(text.c_str(), 1, &cfg).rc);
    nimbus_cfg_free(&cfg);
    text.push_back(' ');
    EXPECT_EQ("settings are larger than 1 MiB", fault(text));
}

TEST(Settings, ClientIdLimitAfterTrimming) {
    nimbus_cfg cfg{};
    std::string id256(256, 'c');
    std::string text =
        R"({"ClientId":"  )" + id256 + R"(  ","ClientSecret":"s","RefreshToken":"r"})";
    ASSERT_EQ(NIMBUS_OK, parse(text.c_str(), 1, &cfg).rc);
    EXPECT_EQ(id256, cfg.client_id);
    nimbus_cfg_free(&cfg);
    EXPECT_EQ("ClientId is longer than 256 bytes",
              fault(R"({"ClientId":")" + std::string(257, 'c') + R"("})"));

    // Refresh token and scope exactly at their limits.
    std::string at_limits =
        obj(R"("ClientId":"c","ClientSecret":"s","RefreshToken":")" + std::string(8192, 'r') +
            R"(","scope":")" + std::string(512, 's') + "\"");
    ASSERT_EQ(NIMBUS_OK, parse(at_limits.c_str(), 1, &cfg).rc);
    EXPECT_EQ(8192u, std::strlen(cfg.refresh_token));
    EXPECT_EQ(512u, std::strlen(cfg.scope));
    nimbus_cfg_free(&cfg);
}

TEST(Settings, ValueKinds) {
    nimbus_cfg cfg{};
    ASSERT_EQ(
        NIMBUS_OK,
        parse(R"({"ClientId":12345,"ClientSecret":true,"RefreshToken":-7,"ID":false})", 1, &cfg)
            .rc);
    EXPECT_STREQ("12345", cfg.client_id);
    EXPECT_STREQ("true", cfg.client_secret);
    EXPECT_STREQ("-7", cfg.refresh_token);
    EXPECT_STREQ("false", cfg.id);
    nimbus_cfg_free(&cfg);

    // Large integers keep their value in both directions.
    ASSERT_EQ(NIMBUS_OK,
              parse(R"({"ClientId":18446744073709551615,"ClientSecret":-9223372036854775808,)"
                    R"("RefreshToken":"r","ID":1e3,"scope":0})",
                    1, &cfg)
                  .rc);
    EXPECT_STREQ("18446744073709551615", cfg.client_id);
    EXPECT_STREQ("-9223372036854775808", cfg.client_secret);
    EXPECT_EQ(nullptr, cfg.id);
    EXPECT_STREQ("0", cfg.scope);
    nimbus_cfg_free(&cfg);

    // Only TAB, LF, CR and SPACE are trimmed.
    ASSERT_EQ(
        NIMBUS_OK,
        parse(R"({"ClientId":"\u000bc\f","ClientSecret":"\u00a0s","RefreshToken":"r"})", 1, &cfg)
            .rc);
    EXPECT_STREQ("\vc\f", cfg.client_id);
    EXPECT_STREQ("\xC2\xA0s", cfg.client_secret);
    nimbus_cfg_free(&cfg);
}

TEST(Settings, RuntimeTypes) {
    nimbus_cfg cfg{};
    for (const char *rt : {R"("ONEDRIVE")", R"("")", "null"}) {
        std::string text = obj(R"("RuntimeType":)" + std::string(rt) + "," + base);
        ASSERT_EQ(NIMBUS_OK, parse(text.c_str(), 1, &cfg).rc) << rt;
        EXPECT_EQ(0, cfg.business);
        nimbus_cfg_free(&cfg);
    }
    std::string text = obj(R"("RuntimeType":"ONEDRIVEB",)" + base);
    ASSERT_EQ(NIMBUS_OK, parse(text.c_str(), 1, &cfg).rc);
    EXPECT_EQ(1, cfg.business);
    nimbus_cfg_free(&cfg);
}

TEST(Settings, Clouds) {
    const std::string work = R"("RuntimeType":"ONEDRIVEB",)" + base;
    nimbus_cfg cfg{};
    int32_t last = NIMBUS_CLOUD_GLOBAL;
    for (const char *name : {"usgov", "usgovdod", "china"}) {
        std::string text = obj(R"("Cloud":")" + std::string(name) + "\"," + work);
        ASSERT_EQ(NIMBUS_OK, parse(text.c_str(), 1, &cfg).rc) << name;
        EXPECT_GT(cfg.cloud, last) << name; // each its own
        last = cfg.cloud;
        nimbus_cfg_free(&cfg);
    }
    // "global", null and absence are the global cloud, personal drives too.
    for (const char *v : {R"("global")", "null"}) {
        for (const std::string &who : {base, work}) {
            std::string text = obj(R"("Cloud":)" + std::string(v) + "," + who);
            ASSERT_EQ(NIMBUS_OK, parse(text.c_str(), 1, &cfg).rc) << text;
            EXPECT_EQ(NIMBUS_CLOUD_GLOBAL, cfg.cloud);
            nimbus_cfg_free(&cfg);
        }
    }

    const std::string bad = R"(Cloud must be "global", "usgov", "usgovdod" or "china")";
    for (const char *v :
         {R"("USGov")", R"("")", R"(" usgov")", R"("usgov\u0000")", "1", "true", R"(["usgov"])"})
        EXPECT_EQ(bad, fault(obj(R"("Cloud":)" + std::string(v) + "," + work))) << v;
    const std::string personal =
        R"(Cloud must be "global" for a personal drive (RuntimeType ONEDRIVE))";
    EXPECT_EQ(personal, fault(obj(R"("Cloud":"usgov",)" + base)));
    EXPECT_EQ(personal, fault(obj(R"("Cloud":"china","RuntimeType":"ONEDRIVE",)" + base), 0));
    // A missing credential comes after it in lenient mode, and is no fault
    // at all when only the address is asked for.
    EXPECT_EQ(personal, fault(R"({"Cloud":"usgovdod"})", 0));
    ASSERT_EQ(
        NIMBUS_OK,
        parse(R"({"Cloud":"usgovdod","RuntimeType":"ONEDRIVEB"})", NIMBUS_CFG_ADDRESS, &cfg).rc);
    EXPECT_STREQ("https://dod-graph.microsoft.us/v1.0", nimbus_graph_base_of(&cfg));
    EXPECT_STREQ("https://login.microsoftonline.us/common/oauth2/v2.0/token",
                 nimbus_token_url_of(&cfg));
    nimbus_cfg_free(&cfg);
    EXPECT_EQ("ClientId is required",
              fault(R"({"Cloud":"usgovdod","RuntimeType":"ONEDRIVEB"})", 0));
}

TEST(Settings, RefreshTokenKeysAndModes) {
    nimbus_cfg cfg{};
    ASSERT_EQ(
        NIMBUS_OK,
        parse(R"({"ClientId":"c","ClientSecret":"s","refresh_token":"  ","RefreshToken":"B"})", 1,
              &cfg)
            .rc);
    EXPECT_STREQ("B", cfg.refresh_token);
    nimbus_cfg_free(&cfg);
    ASSERT_EQ(NIMBUS_OK,
              parse(R"({"ClientId":"c","ClientSecret":"s","refresh_token":"A","RefreshToken":"B"})",
                    1, &cfg)
                  .rc);
    EXPECT_STREQ("A", cfg.refresh_token);
    nimbus_cfg_free(&cfg);

    parsed p = parse(R"({"ClientId":"c","ClientSecret":"s","ID":"x"})", 0, &cfg);
    ASSERT_EQ(NIMBUS_OK, p.rc);
    EXPECT_EQ(nullptr, cfg.refresh_token);
    EXPECT_STREQ("x", cfg.id);
    nimbus_cfg_free(&cfg);

    // Lenient mode keeps every other check.
    EXPECT_EQ("ClientId is required", fault(R"({"ClientSecret":"s"})", 0));
    EXPECT_EQ("ClientSecret is required", fault(R"({"ClientId":"c"})", 0));
    EXPECT_EQ("Path is not a valid drive path",
              fault(R"({"ClientId":"c","ClientSecret":"s","Path":"/a/"})", 0));
}

TEST(Settings, Paths) {
    auto path_of = [](const std::string &value) -> std::string {
        nimbus_cfg cfg{};
        std::string text = obj(base + R"(,"Path":)" + value);
        parsed p = parse(text.c_str(), 1, &cfg);
        EXPECT_EQ(NIMBUS_OK, p.rc) << value << ": " << p.msg;
        std::string r = cfg.path ? cfg.path : "<null>";
        nimbus_cfg_free(&cfg);
        return r;
    };
    EXPECT_EQ("<null>", path_of(R"("/")"));
    EXPECT_EQ("<null>", path_of(R"("  / ")"));
    EXPECT_EQ("<null>", path_of(R"("")"));
    EXPECT_EQ("<null>", path_of("null"));
    EXPECT_EQ("Music/Albums", path_of(R"("/Music/Albums")"));
    EXPECT_EQ("Music", path_of(R"("Music")"));
    EXPECT_EQ("/Music", path_of(R"("//Music")"));
    EXPECT_EQ("caf\xC3\xA9", path_of(R"("/café")"));
    EXPECT_EQ("2024", path_of("2024"));
    EXPECT_EQ("Path is not a valid drive path", fault(obj(base + R"(,"Path":"//")")));
    EXPECT_EQ("Path is not a valid drive path", fault(obj(base + R"(,"Path":"/.")")));
    // At the length limit: "/" plus 2047 bytes is accepted, plus 2048 refused.
    EXPECT_EQ(std::string(2047, 'p'), path_of("\"" + std::string(2047, 'p') + "\""));
    EXPECT_EQ("Path is not a valid drive path",
              fault(obj(base + R"(,"Path":")" + std::string(2048, 'p') + "\"")));
}

TEST(Settings, FirstMemberWins) {
    nimbus_cfg cfg{};
    ASSERT_EQ(NIMBUS_OK, parse(R"({"ClientId":"first","ClientId":"second","ClientSecret":"s",)"
                               R"("ClientSecret":"t","RefreshToken":"r","ID":"a","ID":"b"})",
                               1, &cfg)
                             .rc);
    EXPECT_STREQ("first", cfg.client_id);
    EXPECT_STREQ("s", cfg.client_secret);
    EXPECT_STREQ("a", cfg.id);
    nimbus_cfg_free(&cfg);
    // A first member that counts as absent is not replaced by a later one.
    EXPECT_EQ("ClientId is required", fault(R"({"ClientId":null,"ClientId":"c"})"));
}

TEST(Settings, MessageIsCutToTheBufferSize) {
    nimbus_cfg cfg{};
    char small[8];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_cfg_parse("{}", 1, &cfg, small, sizeof small));
    EXPECT_STREQ("ClientI", small);
    char one[1] = {'Z'};
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_cfg_parse("{}", 1, &cfg, one, 1));
    EXPECT_EQ('\0', one[0]);
    char none[1] = {'Z'};
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_cfg_parse("{}", 1, &cfg, none, 0));
    EXPECT_EQ('Z', none[0]);
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_cfg_parse("{}", 1, &cfg, nullptr, 0));
    EXPECT_TRUE(empty(cfg));
}

} // namespace
