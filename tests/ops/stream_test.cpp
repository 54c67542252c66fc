// Stream locator end to end through nimbus_stream_url and the fake transport.
#include <string>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct StreamTest : FakeTest {};

const std::string kDl = "https://dl.example/f/a?tempauth=abc";

std::string file_item(const std::string &extra) {
    return "{\"id\":\"X1\",\"name\":\"a b.mp3\",\"size\":1234" + extra + "}";
}

std::string locator(const std::string &url, const std::string &id, const std::string &name,
                    long long size) {
    return "{\"url\":\"" + url + "\",\"id\":\"" + id + "\",\"name\":\"" + name +
           "\",\"size\":" + std::to_string(size) + ",\"range\":true}";
}

TEST_F(StreamTest, PathEntryUnderRootPath) {
    script_token();
    const std::string url = kGraph + "/me/drive/root:/Media/Music/a%20b.mp3";
    script_get(url, 200, file_item(",\"@microsoft.graph.downloadUrl\":\"" + kDl + "\""));
    outcome o = stream(settings("\"Path\":\"/Media\""), "\"/Music/a b.mp3\"");
    EXPECT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(locator(kDl, "X1", "a b.mp3", 1234), o.out);
    EXPECT_EQ(o.out, o.result);
    EXPECT_EQ("", o.error);
    EXPECT_EQ(1, gets(url));
    EXPECT_EQ(url, nimbus_fake_last_url()); // nothing after the path
}

TEST_F(StreamTest, ItemIdEntryIgnoresRootPath) {
    script_token();
    const std::string url = kGraph + "/me/drive/items/X1";
    script_get(url, 200, file_item(",\"@content.downloadUrl\":\"" + kDl + "\""));
    outcome o = stream(settings("\"Path\":\"/Media\""), "{\"id\":\"X1\"}");
    EXPECT_EQ(NIMBUS_OK, o.rc) << o.error;
    EXPECT_EQ(locator(kDl, "X1", "a b.mp3", 1234), o.out);
    EXPECT_EQ(1, gets(url));
}

TEST_F(StreamTest, DownloadUrlPrecedenceAndSize) {
    script_token();
    const std::string url = kGraph + "/me/drive/items/X1";
    script_get(url, 200,
               file_item(",\"@content.downloadUrl\":\"https://second\","
                         "\"@microsoft.graph.downloadUrl\":\"https://first\""));
    EXPECT_EQ(locator("https://first", "X1", "a b.mp3", 1234), stream(settings(), "\"X1\"").out);

    script_get(url, 200,
               file_item(",\"@microsoft.graph.downloadUrl\":\"\","
                         "\"@content.downloadUrl\":\"https://second\""));
    EXPECT_EQ(locator("https://second", "X1", "a b.mp3", 1234), stream(settings(), "\"X1\"").out);

    // No size: -1; the name is cleaned like a listed one; range is always true.
    script_get(url, 200,
               "{\"id\":\"X1\",\"name\":\"AC/DC \\\"live\\\".mp3\","
               "\"@microsoft.graph.downloadUrl\":\"https://u\"}");
    EXPECT_EQ(locator("https://u", "X1",
                      "AC\xE2\x88\x95"
                      "DC \\\"live\\\".mp3",
                      -1),
              stream(settings(), "\"X1\"").out);
}

TEST_F(StreamTest, RefusedItems) {
    script_token();
    const std::string url = kGraph + "/me/drive/items/F1";
    script_get(url, 200,
               "{\"id\":\"F1\",\"name\":\"Rock\",\"folder\":{},"
               "\"@microsoft.graph.downloadUrl\":\"https://u\"}");
    expect_failure(stream(settings(), "\"F1\""), NIMBUS_E_NOT_FOUND,
                   "item F1 is a folder, not a playable file");

    script_get(url, 200, "{\"id\":\"F1\",\"name\":\"a.mp3\",\"size\":3}");
    expect_failure(stream(settings(), "\"F1\""), NIMBUS_E_UNSUPPORTED,
                   "the item carries no download URL");

    // Only an https:// URL is handed out; any other counts as none.
    for (const char *bad : {"http://dl.example/a", "javascript:alert(1)", "file:///etc/shadow",
                            "https:/x", "ftp://https://x"}) {
        script_get(url, 200,
                   std::string("{\"id\":\"F1\",\"@microsoft.graph.downloadUrl\":\"") + bad + "\"}");
        expect_failure(stream(settings(), "\"F1\""), NIMBUS_E_UNSUPPORTED,
                       "the item carries no download URL");
    }
    script_get(url, 200, "{\"id\":\"F1\",\"@content.downloadUrl\":\"HTTPS://dl/a\"}");
    EXPECT_EQ(NIMBUS_OK, stream(settings(), "\"F1\"").rc);

    script_get(url, 200, "{\"name\":\"a.mp3\",\"@content.downloadUrl\":\"https://u\"}");
    expect_failure(stream(settings(), "\"F1\""), NIMBUS_E_FAILED, "a driveItem carries no id");
    script_get(url, 200, "[]");
    expect_failure(stream(settings(), "\"F1\""), NIMBUS_E_FAILED,
                   "the item answer is not a JSON object");
    EXPECT_EQ(10, gets(url));
}

TEST_F(StreamTest, RefusedStatusNamesTheEntry) {
    script_token();
    expect_failure(stream(settings(), "\"ABC!12\""), NIMBUS_E_NOT_FOUND,
                   "item: ABC!12 answered HTTP 404: The requested resource could not be found.");
    const std::string url = kGraph + "/me/drive/root:/Music/a.mp3";
    script_get(url, 503, "");
    expect_failure(stream(settings(), "\"/Music/a.mp3\""), NIMBUS_E_UNAVAILABLE,
                   "item: /Music/a.mp3 answered HTTP 503");
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_fail("GET", url.c_str(), nullptr));
    expect_failure(stream(settings(), "\"/Music/a.mp3\""), NIMBUS_E_UNAVAILABLE,
                   "GET " + url + ": connection refused");
}

TEST_F(StreamTest, RefusedEntries) {
    script_token();
    expect_failure(stream(settings(), "\"\""), NIMBUS_E_NOT_FOUND, "entry is empty");
    expect_failure(stream(settings(), "\"/a/../b.mp3\""), NIMBUS_E_NOT_FOUND,
                   "entry is not a valid drive path");
    expect_failure(stream(settings(), "\"/a.mp3/\""), NIMBUS_E_NOT_FOUND,
                   "entry is not a valid drive path");
    // A JSON string root is not examined by the reader: the operation judges it.
    expect_failure(stream(settings(), "\"a..b\""), NIMBUS_E_NOT_FOUND,
                   "entry id is not a Graph item id");

    std::string at_limit = "/" + std::string(2048 - 4 - 1, 'a'); // "/Med" + entry = 2048
    const std::string url = kGraph + "/me/drive/root:/Med" + at_limit;
    script_get(url, 200, "{\"id\":\"L\",\"name\":\"l\",\"@content.downloadUrl\":\"https://u\"}");
    EXPECT_EQ(NIMBUS_OK, stream(settings("\"Path\":\"Med\""), ("\"" + at_limit + "\"").c_str()).rc);
    expect_failure(stream(settings("\"Path\":\"Med\""), ("\"" + at_limit + "b\"").c_str()),
                   NIMBUS_E_NOT_FOUND, "the virtual path is longer than 2048 bytes");
    EXPECT_EQ(1, grants());
    EXPECT_EQ(2, nimbus_fake_calls(nullptr, nullptr));
}

TEST_F(StreamTest, ErrorEnvelopeInSuccessAnswerFails) {
    script_token();
    const std::string url = kGraph + "/me/drive/items/X1";
    script_get(url, 200,
               "{\"error\":{\"code\":\"accessDenied\",\"message\":\"No access\"},"
               "\"id\":\"X1\",\"@content.downloadUrl\":\"https://u\"}");
    expect_failure(stream(settings(), "\"X1\""), NIMBUS_E_FAILED, "No access");
    script_get(url, 200, "{\"error\":{\"code\":\"accessDenied\"}}");
    expect_failure(stream(settings(), "\"X1\""), NIMBUS_E_FAILED, "item: Graph error accessDenied");
}

} // namespace
