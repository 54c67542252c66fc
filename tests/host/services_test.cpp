// Service exports: Graph base, conversion of a fetched page, redaction and
// forgetting the token cache.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct ServicesTest : FakeTest {};

TEST_F(ServicesTest, DriveBase) {
    const char *b = nimbus_drive_base("{\"ClientSecret\":\"s\"}"); // no ClientId: tolerated
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(kGraph, b);
    EXPECT_EQ(kGraph, nimbus_result_json());
    EXPECT_STREQ("", nimbus_last_error());
    EXPECT_EQ(kGraph, nimbus_drive_base("{}"));
    EXPECT_EQ(kGraph, nimbus_drive_base(settings().c_str()));

    const char *kept = nimbus_drive_base("{}");
    EXPECT_EQ(nullptr, nimbus_drive_base(nullptr));
    EXPECT_STREQ("settings are NULL", nimbus_last_error());
    EXPECT_STREQ("", nimbus_result_json());
    EXPECT_EQ(kGraph, kept); // a fault leaves the scratch text alone
    EXPECT_EQ(nullptr, nimbus_drive_base("{\"ClientId\":\"c\",\"RuntimeType\":\"X\"}"));
    EXPECT_STREQ("RuntimeType is not ONEDRIVE", nimbus_last_error());
    EXPECT_EQ(nullptr,
              nimbus_drive_base("{\"ClientId\":\"c\",\"ClientSecret\":\"s\",\"Path\":\"/a/\"}"));
    EXPECT_STREQ("Path is not a valid drive path", nimbus_last_error());
    // Missing credentials do not spare the checks that follow them.
    EXPECT_EQ(nullptr, nimbus_drive_base("{\"Path\":\"/a/../b\"}"));
    EXPECT_STREQ("Path is not a valid drive path", nimbus_last_error());
    EXPECT_EQ(nullptr, nimbus_drive_base(("{\"ClientId\":\"c\",\"scope\":\"" +
                                          std::string(513, 's') + "\",\"Path\":\"/a/\"}")
                                             .c_str()));
    EXPECT_STREQ("scope is longer than 512 bytes", nimbus_last_error());
    EXPECT_EQ(kGraph, nimbus_drive_base("{\"Path\":\"/Music\"}"));
}

TEST_F(ServicesTest, ParseItems) {
    EXPECT_EQ(NIMBUS_E_FAILED, nimbus_parse_items(nullptr, "/x", nullptr, 0));
    EXPECT_STREQ("body is NULL", nimbus_last_error());
    EXPECT_STREQ("", nimbus_result_json());

    const std::string pg = page({item("A1", "a.mp3"), item("F1", "Rock", -1, true)}, "https://n");
    const std::string root_json = items_json({entry("a.mp3", "/a.mp3", false, 5, 0, "A1", ""),
                                              entry("Rock", "/Rock", true, -1, 0, "F1", "")});
    EXPECT_EQ(NIMBUS_OK, nimbus_parse_items(pg.c_str(), nullptr, nullptr, 0));
    EXPECT_EQ(root_json, nimbus_result_json());
    EXPECT_STREQ("", nimbus_last_error());

    const std::string music =
        items_json({entry("a.mp3", "/Music/a.mp3", false, 5, 0, "A1", "/Music"),
                    entry("Rock", "/Music/Rock", true, -1, 0, "F1", "/Music")});
    std::vector<char> out(music.size() + 1, 'x');
    EXPECT_EQ(NIMBUS_OK, nimbus_parse_items(pg.c_str(), "/Music", out.data(), (int32_t)out.size()));
    EXPECT_EQ(music, out.data());
    EXPECT_EQ(music, nimbus_result_json());

    std::fill(out.begin(), out.end(), 'x');
    EXPECT_EQ(NIMBUS_E_BUFFER,
              nimbus_parse_items(pg.c_str(), "/Music", out.data(), (int32_t)music.size()));
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ(music, nimbus_result_json());
    EXPECT_STREQ("output buffer too small", nimbus_last_error());

    // Parser failures are published unmasked, the buffer untouched.
    std::fill(out.begin(), out.end(), 'x');
    EXPECT_EQ(NIMBUS_E_FAILED, nimbus_parse_items("{\"x\":1}", "", out.data(), 8));
    EXPECT_STREQ("the children answer has no value[]", nimbus_last_error());
    EXPECT_STREQ("", nimbus_result_json());
    EXPECT_EQ('x', out[0]);
    EXPECT_EQ(0, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(ServicesTest, Redact) {
    EXPECT_STREQ("", nimbus_redact(nullptr));
    const char *a = nimbus_redact("https://u:p@h/x?access_token=abc&pw=");
    EXPECT_STREQ("https://h/x?access_token=***&pw=***", a);
    std::string kept = a;
    nimbus_drive_base("{}"); // replaces the scratch text
    EXPECT_STREQ("", nimbus_redact(""));
    EXPECT_EQ("https://h/x?access_token=***&pw=***", kept);
    // Results survive other calls that replace t_result / t_error.
    const char *b = nimbus_redact("x?token=1");
    nimbus_publish(NIMBUS_E_FAILED, "e", nullptr);
    EXPECT_STREQ("x?token=***", b);
    // A transport URL: whatever follows the bearer marker is the token.
    EXPECT_STREQ("https://h/x?pw=***#NIMBUS-BEARER:***",
                 nimbus_redact("https://u@h/x?pw=1#NIMBUS-BEARER:eyJ0.a&b?c=d#e"));
    EXPECT_STREQ("https://h/x#NIMBUS-BEARER:***",
                 nimbus_redact("https://h/x#NIMBUS-BEARER:#NIMBUS-BEARER:t"));
}

TEST_F(ServicesTest, ForgetTokensMakesEveryThreadGrantAgain) {
    script_token("at-1", "rt-rotated");
    script_get(first_page(kRoot), 200, page({}));
    ASSERT_EQ(NIMBUS_OK, list(settings(), nullptr).rc);
    ASSERT_EQ(NIMBUS_OK, list(settings(), nullptr).rc);
    EXPECT_EQ(1, grants());
    nimbus_forget_tokens();
    int rc = -100;
    std::thread t([&] { rc = list(settings(), nullptr).rc; });
    t.join();
    EXPECT_EQ(NIMBUS_OK, rc);
    EXPECT_EQ(2, grants());
    // The grant presented the configured token, not the rotated one.
    std::string body = nimbus_fake_last_body(kTokenUrl.c_str());
    EXPECT_NE(std::string::npos, body.find("&refresh_token=" + kRefresh + "&")) << body;
}

} // namespace
