// National clouds: a settings' "Cloud" sends every grant, sign-in step and
// Graph request to that cloud's hosts, follows links on its Graph host only,
// and keeps its tokens apart from the same application's on another cloud.
#include <string>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

const std::string kGovToken = "https://login.microsoftonline.us/common/oauth2/v2.0/token";
const std::string kGovGraph = "https://graph.microsoft.us/v1.0";
const std::string kGovRoot = kGovGraph + "/me/drive/root/children";
const std::string kChinaLogin = "https://login.chinacloudapi.cn/common/oauth2/v2.0/";
const std::string kChinaGraph = "https://microsoftgraph.chinacloudapi.cn/v1.0";

std::string on(const std::string &cloud) {
    return settings("\"RuntimeType\":\"ONEDRIVEB\",\"Cloud\":\"" + cloud + "\"");
}

struct CloudTest : FakeTest {};

TEST_F(CloudTest, GrantsListingsAndTokensStayOnTheirCloud) {
    ASSERT_EQ(NIMBUS_OK,
              nimbus_fake_set("POST", kGovToken.c_str(), 200, token_answer("at-gov").c_str()));
    const std::string next = kGovRoot + "?$top=200&$skiptoken=1";
    script_get(first_page(kGovRoot), 200, page({item("A1", "a.mp3")}, next));
    script_get(next, 200, page({item("B1", "b.mp3")}));
    outcome o = list(on("usgov"), "/");
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(items_json({entry("a.mp3", "/a.mp3", false, 5, 0, "A1", "/"),
                          entry("b.mp3", "/b.mp3", false, 5, 0, "B1", "/")}),
              o.out);
    EXPECT_EQ(1, nimbus_fake_calls("POST", kGovToken.c_str()));
    EXPECT_EQ(3, nimbus_fake_calls(nullptr, nullptr));

    // The same application on the global cloud gets a token of its own
    // there, and the usgov one stays cached for usgov.
    script_token("at-global");
    script_get(first_page(kRoot), 200, page({}));
    EXPECT_EQ(NIMBUS_OK, list(settings("\"RuntimeType\":\"ONEDRIVEB\""), "/").rc);
    EXPECT_EQ(1, grants());
    EXPECT_EQ(NIMBUS_OK, list(on("usgov"), "/").rc);
    EXPECT_EQ(1, nimbus_fake_calls("POST", kGovToken.c_str()));
    EXPECT_EQ(2, gets(first_page(kGovRoot)));

    // A next link to another cloud's Graph is foreign: the token stays home.
    const std::string global_next = kRoot + "?$skiptoken=1";
    script_get(first_page(kGovRoot), 200, page({item("A1", "a.mp3")}, global_next));
    expect_failure(list(on("usgov"), "/"), NIMBUS_E_FAILED,
                   "children: the next link " + global_next + " is not on the Graph service");
    const std::string gov_next = kGovRoot + "?$skiptoken=1";
    script_get(first_page(kRoot), 200, page({item("A1", "a.mp3")}, gov_next));
    expect_failure(list(settings(), "/"), NIMBUS_E_FAILED,
                   "children: the next link " + gov_next + " is not on the Graph service");
    EXPECT_EQ(0, gets(global_next));
    EXPECT_EQ(0, gets(gov_next));
}

int count_entries(void *ctx, const nimbus_entry *) {
    ++*static_cast<int *>(ctx);
    return 0;
}

TEST_F(CloudTest, HandleSignInAndBaseOnTheSettingsCloud) {
    const std::string token = kChinaLogin + "token";
    ASSERT_EQ(NIMBUS_OK,
              nimbus_fake_set("POST", token.c_str(), 200, token_answer("at-china").c_str()));
    const std::string about = kChinaGraph + "/me/drive?$select=driveType,owner,quota";
    script_get(about, 200, "{\"driveType\":\"business\"}");
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(on("china").c_str(), nimbus_io_fake(), &drive));
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_about(
                             drive, [](void *, const nimbus_about *) { return 0; }, nullptr))
        << nimbus_last_error();
    EXPECT_EQ(1, gets(about));
    EXPECT_EQ(1, nimbus_fake_calls("POST", token.c_str()));
    // A change cursor is a link with the token: only on this cloud's Graph.
    int n = 0;
    char *cursor = nullptr;
    EXPECT_EQ(NIMBUS_E_INVALID,
              nimbus_drive_changes(drive, "/", (kGraph + "/me/drive/root/delta?token=x").c_str(),
                                   count_entries, &n, &cursor));
    EXPECT_EQ(nullptr, cursor);
    EXPECT_EQ(2, nimbus_fake_calls(nullptr, nullptr));
    nimbus_drive_close(drive);

    // The sign-in's steps: the authorize address and the device code.
    std::string out(4096, '\0');
    const std::string authorize = R"({"grant_type":"authorization_code","state":"s",)"
                                  R"("redirect_uri":"http://localhost:8914/","code_challenge":")" +
                                  std::string(43, 'C') + "\"}";
    ASSERT_EQ(NIMBUS_OK, nimbus_token_grant(on("china").c_str(), nullptr, authorize.c_str(),
                                            &out[0], static_cast<int32_t>(out.size())));
    EXPECT_EQ(0u, out.find("{\"authorize_url\":\"" + kChinaLogin + "authorize?client_id=")) << out;
    const std::string device = kChinaLogin + "devicecode";
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("POST", device.c_str(), 200,
                                         R"({"device_code":"DC-1","user_code":"AB-CD",)"
                                         R"("verification_uri":"https://example.cn/d",)"
                                         R"("expires_in":900,"interval":5})"));
    EXPECT_EQ(NIMBUS_OK,
              nimbus_token_grant(on("china").c_str(), nimbus_io_fake(),
                                 R"({"grant_type":"urn:ietf:params:oauth:grant-type:device_code"})",
                                 &out[0], static_cast<int32_t>(out.size())))
        << nimbus_last_error();
    EXPECT_EQ(1, nimbus_fake_calls("POST", device.c_str()));

    // The Graph base each cloud answers; without the key, as always.
    EXPECT_EQ(kGraph, nimbus_drive_base("{}"));
    EXPECT_EQ(kGraph, nimbus_drive_base("{\"Cloud\":\"global\"}"));
    EXPECT_EQ(kGovGraph, nimbus_drive_base("{\"RuntimeType\":\"ONEDRIVEB\",\"Cloud\":\"usgov\"}"));
    EXPECT_STREQ("https://dod-graph.microsoft.us/v1.0", nimbus_drive_base(on("usgovdod").c_str()));
    EXPECT_EQ(kChinaGraph, nimbus_drive_base(on("china").c_str()));
    EXPECT_EQ(nullptr, nimbus_drive_base("{\"Cloud\":\"china\"}"));
}

} // namespace
