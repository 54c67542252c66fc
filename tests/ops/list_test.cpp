// Folder listing end to end through nimbus_list and the fake transport.
#include <string>
#include <vector>

#include "auth/auth.h"
#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct ListTest : FakeTest {};

const std::string kA = entry("a.mp3", "/a.mp3", false, 5, 0, "A1", "");

TEST_F(ListTest, RootFormsAbsentEmptyAndSlash) {
    script_token();
    script_get(first_page(kRoot), 200,
               page({item("A1", "a.mp3"), item("F1", "Rock", -1, true, "1971-01-01T00:00:00Z")}));
    const std::string folder = entry("Rock", "/Rock", true, -1, 31536000000LL, "F1", "");

    outcome o = list(settings(), nullptr);
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ(items_json({kA, folder}), o.out);
    EXPECT_EQ(o.out, o.result);
    EXPECT_EQ("", o.error);
    EXPECT_EQ(first_page(kRoot), nimbus_fake_last_url());

    o = list(settings(), "");
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ(items_json({kA, folder}), o.out);

    // "/" is the root of the virtual tree: same URL, single slashes, parent "/".
    o = list(settings(), "/");
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ(items_json({entry("a.mp3", "/a.mp3", false, 5, 0, "A1", "/"),
                          entry("Rock", "/Rock", true, -1, 31536000000LL, "F1", "/")}),
              o.out);
    EXPECT_EQ(3, gets(first_page(kRoot)));
    EXPECT_EQ(1, grants()); // the later requests took the cached token
    EXPECT_EQ(4, nimbus_fake_calls(nullptr, nullptr));

    // With a root path configured, "/" lists that root path.
    const std::string music = kGraph + "/me/drive/root:/Media/Music:/children";
    script_get(first_page(music), 200, page({item("B1", "b.flac", 7)}));
    o = list(settings("\"Path\":\"/Media/Music\""), "/");
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ(items_json({entry("b.flac", "/b.flac", false, 7, 0, "B1", "/")}), o.out);
    o = list(settings("\"Path\":\"Media/Music\""), nullptr);
    EXPECT_EQ(items_json({entry("b.flac", "/b.flac", false, 7, 0, "B1", "")}), o.out);
    EXPECT_EQ(2, gets(first_page(music)));
}

TEST_F(ListTest, VirtualPathUnderRootPath) {
    script_token();
    const std::string url = kGraph + "/me/drive/root:/Music/Rock%20Hits:/children";
    script_get(first_page(url), 200, page({item("A1", "a.mp3")}));
    outcome o = list(settings("\"Path\":\"Music\""), "/Rock Hits");
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ(items_json({entry("a.mp3", "/Rock Hits/a.mp3", false, 5, 0, "A1", "/Rock Hits")}),
              o.out);
    EXPECT_EQ(1, gets(first_page(url)));

    // Without a root path the virtual path is the drive path.
    const std::string plain = kGraph + "/me/drive/root:/Rock%20Hits/Live%20%26%20Loud:/children";
    script_get(first_page(plain), 200, page({}));
    o = list(settings(), "/Rock Hits/Live & Loud");
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ("{\"items\":[]}", o.out);
}

TEST_F(ListTest, ItemIdFolderIgnoresRootPath) {
    script_token();
    const std::string url = kGraph + "/me/drive/items/ABC!12/children";
    script_get(first_page(url), 200, page({item("A1", "a.mp3")}));
    outcome o = list(settings("\"Path\":\"/Music\""), "ABC!12");
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ(items_json({entry("a.mp3", "ABC!12/a.mp3", false, 5, 0, "A1", "ABC!12")}), o.out);
    EXPECT_EQ(1, gets(first_page(url)));
}

TEST_F(ListTest, RefusedFolders) {
    script_token();
    for (const char *bad : {"/a/../b", "/a/"}) {
        SCOPED_TRACE(bad);
        expect_failure(list(settings(), bad), NIMBUS_E_NOT_FOUND,
                       "folder is not a valid drive path");
    }
    expect_failure(list(settings(), "x..y"), NIMBUS_E_NOT_FOUND,
                   "folder id is not a Graph item id");
    // The session was opened (settings, transport, session, operation), but no
    // Graph request was made.
    EXPECT_EQ(1, grants());
    EXPECT_EQ(1, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(ListTest, JoinedPathLimit) {
    script_token();
    // "/Root" (5 bytes) + folder: 2048 bytes in all are accepted, 2049 are not.
    std::string at_limit = "/" + std::string(2048 - 5 - 1, 'a');
    std::string url = kGraph + "/me/drive/root:/Root" + at_limit + ":/children";
    script_get(first_page(url), 200, page({}));
    outcome o = list(settings("\"Path\":\"Root\""), at_limit.c_str());
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ("{\"items\":[]}", o.out);
    EXPECT_EQ(1, gets(first_page(url)));

    // (An empty page costs one item request: a shortcut lists as one.)
    std::string over = at_limit + "b";
    expect_failure(list(settings("\"Path\":\"Root\""), over.c_str()), NIMBUS_E_NOT_FOUND,
                   "the virtual path is longer than 2048 bytes");
    EXPECT_EQ(3, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(ListTest, PagingFollowsNextLinksAsGiven) {
    script_token();
    const std::string p2 = "https://graph.microsoft.com/v1.0/me/drive/root/children?$skiptoken=P2";
    // Scheme and host compare without regard to letter case.
    const std::string p3 = "HTTPS://GRAPH.microsoft.com/v1.0/page3";
    script_get(first_page(kRoot), 200, page({item("A1", "a.mp3"), item("B1", "b.mp3")}, p2));
    // The same item on a later page is listed once, at its first position.
    script_get(p2, 200, page({item("B1", "other.mp3", 9), item("C1", "c.mp3")}, p3));
    // A next link without a query gets the page size like a first request.
    script_get(first_page(p3), 200, page({item("A1", "again.mp3"), item("D1", "d.mp3")}));
    outcome o = list(settings(), "/");
    EXPECT_EQ(NIMBUS_OK, o.rc);
    EXPECT_EQ(items_json({entry("a.mp3", "/a.mp3", false, 5, 0, "A1", "/"),
                          entry("b.mp3", "/b.mp3", false, 5, 0, "B1", "/"),
                          entry("c.mp3", "/c.mp3", false, 5, 0, "C1", "/"),
                          entry("d.mp3", "/d.mp3", false, 5, 0, "D1", "/")}),
              o.out);
    EXPECT_EQ(1, gets(first_page(kRoot)));
    EXPECT_EQ(1, gets(p2));
    EXPECT_EQ(0, gets(p2 + "?$top=200"));
    EXPECT_EQ(1, gets(first_page(p3)));
    EXPECT_EQ(4, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(ListTest, PageSizeSetting) {
    const std::string bad = "PageSize must be an integer from 1 to 1000";
    for (const char *value : {"0", "1001", "-1", "\"200\"", "200.0", "2e2", "true", "[200]"})
        expect_failure(list(settings(std::string("\"PageSize\":") + value), nullptr),
                       NIMBUS_E_INVALID, bad);
    // Checked after Path and before ID; the first member wins.
    expect_failure(list(settings("\"PageSize\":0,\"Path\":\"a/\""), nullptr), NIMBUS_E_INVALID,
                   "Path is not a valid drive path");
    expect_failure(validate(settings("\"ID\":\"x\",\"PageSize\":1001,\"PageSize\":5")),
                   NIMBUS_E_INVALID, bad);
    EXPECT_EQ(0, nimbus_fake_calls(nullptr, nullptr));

    script_token();
    const std::string bare = kGraph + "/me/drive/items/N1/children"; // a next link without a query
    script_get(kRoot + "?$top=1", 200, page({item("A1", "a.mp3")}, bare));
    script_get(bare + "?$top=1", 200, page({item("B1", "b.mp3")}));
    script_get(kRoot + "?$top=1000", 200, page({item("A1", "a.mp3")}, bare));
    script_get(bare + "?$top=1000", 200, page({}));
    script_get(first_page(kRoot), 200, page({}));
    EXPECT_EQ(NIMBUS_OK, list(settings("\"PageSize\":1"), nullptr).rc);
    EXPECT_EQ(NIMBUS_OK, list(settings("\"PageSize\":1000"), nullptr).rc);
    EXPECT_EQ(NIMBUS_OK, validate(settings("\"PageSize\":1000,\"ID\":\"x\"")).rc);
    // null reads as absent, and a first member that is absent still wins.
    EXPECT_EQ(NIMBUS_OK, list(settings("\"PageSize\":null,\"PageSize\":1"), nullptr).rc);
    EXPECT_EQ(1, gets(kRoot + "?$top=1"));
    EXPECT_EQ(1, gets(bare + "?$top=1"));
    EXPECT_EQ(2, gets(kRoot + "?$top=1000"));
    EXPECT_EQ(2, gets(bare + "?$top=1000"));
    EXPECT_EQ(1, gets(first_page(kRoot)));
    EXPECT_EQ(8, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(ListTest, NextLinkOffTheGraphOriginIsNotFollowed) {
    script_token();
    const std::vector<std::string> links = {
        "http://graph.microsoft.com/v1.0/p2",
        "https://graph.microsoft.com:8443/v1.0/p2",
        "https://graph.microsoft.com:443/v1.0/p2",
        "https://u:pw@graph.microsoft.com/v1.0/p2",
        "https://graph.microsoft.com.evil.example/v1.0/p2",
        "https://graph.microsoft.com@evil.example/v1.0/p2",
        "https://graph.microsoft.co/v1.0/p2",
        "//graph.microsoft.com/v1.0/p2",
        "/v1.0/p2",
    };
    for (const std::string &link : links) {
        SCOPED_TRACE(link);
        script_get(first_page(kRoot), 200, page({item("A1", "a.mp3")}, link));
        script_get(first_page(link), 200, page({item("B1", "b.mp3")}));
        script_get(link, 200, page({item("B1", "b.mp3")}));
        outcome o = list(settings(), nullptr);
        EXPECT_EQ(NIMBUS_E_FAILED, o.rc);
        EXPECT_NE(std::string::npos, o.error.find(" is not on the Graph service")) << o.error;
        EXPECT_EQ(first_page(kRoot), nimbus_fake_last_url());
    }
    EXPECT_EQ(links.size(), static_cast<size_t>(nimbus_fake_calls(nullptr, nullptr) - 1));

    // The link is quoted redacted; the validation probe walks pages the same way.
    script_get(first_page(kRoot), 200,
               page({}, "https://evil.example/p?access_token=at-0001&x=\\r\\nInjected: 1"));
    expect_failure(list(settings(), nullptr), NIMBUS_E_FAILED,
                   "children: the next link https://evil.example/p?access_token=***&x= is not "
                   "on the Graph service");
    EXPECT_EQ(NIMBUS_E_FAILED, validate(settings()).rc);
    EXPECT_EQ(first_page(kRoot), nimbus_fake_last_url());
}

TEST_F(ListTest, RefreshAndRetryOnceOnCachedToken) {
    once_io io;
    nimbus_io table = io.table();
    ASSERT_EQ(NIMBUS_OK, nimbus_set_io(&table));
    std::vector<std::string> urls = {first_page(kRoot)};
    for (int i = 2; i <= 6; i++)
        urls.push_back(kRoot + "?p=" + std::to_string(i));
    for (size_t i = 0; i < urls.size(); i++)
        script_get(urls[i], 200,
                   page({item("I" + std::to_string(i), "n" + std::to_string(i))},
                        i + 1 < urls.size() ? urls[i + 1] : ""));

    // The first request grants; its token lands in the cache.
    script_token("at-first");
    ASSERT_EQ(NIMBUS_OK, list(settings(), nullptr).rc);
    EXPECT_EQ(1, grants());

    // The second starts from the cached token: a 401 on page 3 triggers one
    // grant and a repeat of page 3 with the new token.
    script_token("at-second", "rt-rotated");
    io.queue("GET", urls[2], 401, "{\"error\":{\"code\":\"InvalidAuthenticationToken\"}}");
    outcome o = list(settings(), nullptr);
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(2, grants());
    EXPECT_EQ(1, io.hits("GET", urls[2]));
    EXPECT_EQ(2, gets(urls[2])); // once in the first request, the repeat here
    EXPECT_EQ("at-second", io.last_bearer(urls[2]));
    EXPECT_EQ("at-second", io.last_bearer(urls[5]));
    EXPECT_NE(std::string::npos, std::string(nimbus_fake_last_body(kTokenUrl.c_str()))
                                     .find("refresh_token=" + kRefresh + "&"));

    // Another cached start (the refreshed token): 401 on page 3 refreshes once,
    // the second 401 on page 5 is reported.
    script_token("at-third");
    io.queue("GET", urls[2], 401, "");
    io.queue("GET", urls[4], 401, "{\"error\":{\"code\":\"InvalidAuthenticationToken\"}}");
    o = list(settings(), nullptr);
    expect_failure(o, NIMBUS_E_AUTH,
                   "children: " + urls[4] +
                       " answered HTTP 401: {\"error\":{\"code\":\"InvalidAuthenticationToken\"}}");
    EXPECT_EQ(3, grants());
    // The refresh presented the rotated refresh token that the cache held.
    EXPECT_NE(
        std::string::npos,
        std::string(nimbus_fake_last_body(kTokenUrl.c_str())).find("refresh_token=rt-rotated&"));
    EXPECT_EQ(1, io.hits("GET", urls[4]));
    EXPECT_EQ(2, gets(urls[5])); // not requested by the failed listing
}

TEST_F(ListTest, FreshGrantIsNotRefreshed) {
    script_token();
    script_get(first_page(kRoot), 401, "");
    outcome o = list(settings(), nullptr);
    expect_failure(o, NIMBUS_E_AUTH, "children: " + first_page(kRoot) + " answered HTTP 401");
    EXPECT_EQ(1, grants());
    EXPECT_EQ(1, gets(first_page(kRoot)));
}

TEST_F(ListTest, RefreshGrantFailure) {
    script_token();
    script_get(first_page(kRoot), 200, page({}));
    ASSERT_EQ(NIMBUS_OK, list(settings(), nullptr).rc);
    script_get(first_page(kRoot), 401, "");
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("POST", kTokenUrl.c_str(), 400,
                                         "{\"error\":\"invalid_grant\",\"error_description\":"
                                         "\"AADSTS70000: the grant is expired\"}"));
    expect_failure(list(settings(), nullptr), NIMBUS_E_AUTH, "AADSTS70000: the grant is expired");
    EXPECT_EQ(2, grants());
    EXPECT_EQ(2, gets(first_page(kRoot)));
}

TEST_F(ListTest, StatusFailures) {
    script_token();
    const std::string url = first_page(kRoot);
    struct row {
        int status;
        const char *body;
        int code;
        std::string msg;
    } rows[] = {
        {404, "", NIMBUS_E_NOT_FOUND, "children: " + url + " answered HTTP 404"},
        {410, "gone\nsecond line", NIMBUS_E_NOT_FOUND,
         "children: " + url + " answered HTTP 410: gone"},
        {429, "slow down", NIMBUS_E_THROTTLED,
         "children: " + url + " answered HTTP 429: slow down"},
        {503, "", NIMBUS_E_UNAVAILABLE, "children: " + url + " answered HTTP 503"},
        {403, "", NIMBUS_E_AUTH, "children: " + url + " answered HTTP 403"},
        {202, "", NIMBUS_E_FAILED, "children: " + url + " answered HTTP 202"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.status);
        script_get(url, r.status, r.body);
        expect_failure(list(settings(), nullptr), r.code, r.msg);
    }
}

TEST_F(ListTest, MalformedPagesAndExchangeFailures) {
    script_token();
    const std::string url = first_page(kRoot);
    script_get(url, 200, "[1,2]");
    expect_failure(list(settings(), nullptr), NIMBUS_E_FAILED,
                   "the children answer is not a JSON object");
    script_get(url, 200, "{\"@odata.nextLink\":\"x\"}");
    expect_failure(list(settings(), nullptr), NIMBUS_E_FAILED,
                   "the children answer has no value[]");

    ASSERT_EQ(NIMBUS_OK, nimbus_fake_fail("GET", url.c_str(), "connection reset\nby peer"));
    expect_failure(list(settings(), nullptr), NIMBUS_E_UNAVAILABLE,
                   "GET " + url + ": connection reset");

    // A next link longer than 8 KiB is never sent.
    std::string huge = kRoot + "?skip=" + std::string(8193, 'q');
    script_get(url, 200, page({item("A1", "a.mp3")}, huge));
    int total = nimbus_fake_calls(nullptr, nullptr);
    expect_failure(list(settings(), nullptr), NIMBUS_E_UNAVAILABLE,
                   "request URL longer than 8 KiB");
    EXPECT_EQ(total + 1, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(ListTest, ErrorEnvelopeInSuccessAnswerFails) {
    script_token();
    const std::string p2 = kRoot + "?p=2";
    script_get(first_page(kRoot), 200, page({item("A1", "a.mp3")}, p2));
    script_get(p2, 200,
               "{\"error\":{\"code\":\"generalException\",\"message\":\"Something broke\\n"
               "inside\"},\"value\":[]}");
    expect_failure(list(settings(), nullptr), NIMBUS_E_FAILED, "Something broke");
    EXPECT_EQ(1, gets(p2));

    // Without a message the code is named; an escaped key is still the key.
    script_get(p2, 206, "{\"\\u0065rror\":{\"code\":\"quotaLimitReached\"},\"value\":[]}");
    expect_failure(list(settings(), nullptr), NIMBUS_E_FAILED,
                   "children: Graph error quotaLimitReached");
    // An empty code or an OAuth-style string member is no envelope.
    script_get(p2, 200, "{\"error\":{\"code\":\"\",\"message\":\"m\"},\"value\":[]}");
    EXPECT_EQ(NIMBUS_OK, list(settings(), nullptr).rc);
    script_get(p2, 200, "{\"error\":\"invalid\",\"value\":[]}");
    EXPECT_EQ(NIMBUS_OK, list(settings(), nullptr).rc);
}

// Beside the settings' secrets, a failure message loses every token the
// request presented or received: a refresh token cached by an earlier
// rotation and presented by this request's grant, and one rotated now.
TEST_F(ListTest, TokensTheRequestPresentedOrReceivedAreMasked) {
    nimbus_cfg cfg{};
    cfg.client_id = const_cast<char *>(kClientId.c_str());
    cfg.client_secret = const_cast<char *>(kSecret.c_str());
    cfg.refresh_token = const_cast<char *>(kRefresh.c_str());
    nimbus_token earlier{nimbus_strdup("at-expired-0001"), nimbus_strdup("rt-cached-0002"), 3600};
    nimbus_cache_put(&cfg, nullptr, &earlier, nimbus_now() - 7200); // access token expired
    nimbus_token_free(&earlier);
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("POST", kTokenUrl.c_str(), 400,
                                         "{\"error\":\"invalid_grant\",\"error_description\":"
                                         "\"refresh token rt-cached-0002 was revoked\"}"));
    outcome o = list(settings(), nullptr);
    EXPECT_EQ(NIMBUS_E_AUTH, o.rc);
    EXPECT_EQ("refresh token *** was revoked", o.error);
    EXPECT_EQ("refresh token *** was revoked", validate(settings()).error);

    nimbus_forget_tokens();
    script_token("at-0001", "rt-rotated-0003");
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_fail("GET", first_page(kRoot).c_str(),
                                          "echo rt-rotated-0003 and at-0001"));
    expect_failure(list(settings(), nullptr), NIMBUS_E_UNAVAILABLE,
                   "GET " + first_page(kRoot) + ": echo *** and ***");
    EXPECT_EQ("GET " + first_page(kRoot) + ": echo *** and ***", validate(settings()).error);
}

} // namespace
