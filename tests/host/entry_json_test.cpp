// nimbus_entry_json: a handle's entry as the object of a listing answer,
// as a stream locator and as a walk's line, exact bytes, the out-buffer rules, and the same media
// type the flat listing gives for the same driveItems.
#include <string>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

const std::string kTail = ",\"imdb\":null,\"tmdb\":null,\"available\":false";
const std::string kFile = "{\"name\":\"So \\\"What\\u007f.FLAC\",\"path\":\"/M/So \\\"What\\u007f."
                          "FLAC\",\"folder\":false,\"kind\":\"file\",\"size\":9,\"mtime_ms\":1000,"
                          "\"id\":\"M!1\",\"backend_id\":\"M!1\",\"parent_id\":\"/M\"";

nimbus_entry song() {
    nimbus_entry e{};
    e.name = "So \"What\x7f.FLAC";
    e.path = "/elsewhere";
    e.id = "M!1";
    e.size = 9;
    e.mtime_ms = 1000;
    e.mime_type = "audio/flac";
    e.download_url = "https://d.example/x";
    e.title = "So";
    e.artist = "Miles";
    e.track = 1;
    e.year = 1959;
    e.duration_ms = 545000;
    e.width = 1; // not a member of the object
    e.media_type = "audio";
    return e;
}

std::string json_of(const nimbus_entry &e, const char *folder, int flags) {
    char out[1024];
    int rc = nimbus_entry_json(&e, folder, flags, out, sizeof out);
    EXPECT_EQ(NIMBUS_OK, rc) << nimbus_last_error();
    EXPECT_STREQ("", nimbus_last_error());
    return rc == NIMBUS_OK ? out : "";
}

TEST(EntryJson, ExactBytes) {
    nimbus_entry e = song();
    EXPECT_EQ(kFile +
                  ",\"title\":\"So\",\"year\":1959,\"type\":null,\"media_type\":\"audio\","
                  "\"container\":\"flac\"" +
                  kTail +
                  ",\"mime_type\":\"audio/flac\",\"artist\":\"Miles\",\"album\":null,"
                  "\"track\":1,\"duration_ms\":545000}",
              json_of(e, "/M", NIMBUS_ENTRY_MEDIA));
    EXPECT_EQ(kFile + NIMBUS_ENTRY_TAIL, json_of(e, "/M", 0));

    // A folder carries no media values, whatever the entry holds.
    nimbus_entry d = song();
    d.name = "Dir.d";
    d.id = "F!2";
    d.folder = 1;
    d.size = -1;
    EXPECT_EQ("{\"name\":\"Dir.d\",\"path\":\"I!9/Dir.d\",\"folder\":true,\"kind\":\"dir\","
              "\"size\":-1,\"mtime_ms\":1000,\"id\":\"F!2\",\"backend_id\":\"F!2\","
              "\"parent_id\":\"I!9\",\"title\":null,\"year\":null,\"type\":null,"
              "\"media_type\":null,\"container\":null" +
                  kTail +
                  ",\"mime_type\":null,\"artist\":null,\"album\":null,\"track\":null,"
                  "\"duration_ms\":null}",
              json_of(d, "I!9", NIMBUS_ENTRY_MEDIA));

    // A deleted entry of the change feed: the same object, under the root.
    nimbus_entry gone{};
    gone.name = "gone";
    gone.id = "D!1";
    gone.size = -1;
    gone.deleted = 1;
    const std::string root = "{\"name\":\"gone\",\"path\":\"/gone\",\"folder\":false,\"kind\":"
                             "\"file\",\"size\":-1,\"mtime_ms\":0,\"id\":\"D!1\",\"backend_id\":"
                             "\"D!1\",\"parent_id\":\"\"" NIMBUS_ENTRY_TAIL;
    EXPECT_EQ(root, json_of(gone, nullptr, 0));
    EXPECT_EQ(root, json_of(gone, "", 0));
}

// The other two forms: what nimbus_stream_url answers, and a walk's line.
TEST(EntryJson, LocatorAndLine) {
    nimbus_entry e = song();
    EXPECT_EQ("{\"url\":\"https://d.example/x\",\"id\":\"M!1\",\"name\":\"So \\\"What\\u007f."
              "FLAC\",\"size\":9,\"range\":true}",
              json_of(e, "/ignored", NIMBUS_ENTRY_LOCATOR));
    EXPECT_EQ("{\"path\":\"/elsewhere\",\"name\":\"So \\\"What\\u007f.FLAC\",\"folder\":false,"
              "\"size\":9,\"id\":\"M!1\",\"mtime_ms\":1000,\"mime_type\":\"audio/flac\","
              "\"media_type\":\"audio\",\"title\":\"So\",\"artist\":\"Miles\",\"album\":null,"
              "\"track\":1,\"year\":1959,\"duration_ms\":545000,\"width\":1,\"height\":null}",
              json_of(e, nullptr, NIMBUS_ENTRY_LINE));
    char out[256];
    e.download_url = nullptr;
    EXPECT_EQ(NIMBUS_E_UNSUPPORTED, nimbus_entry_json(&e, nullptr, NIMBUS_ENTRY_LOCATOR, out, 256));
    e.folder = 1;
    EXPECT_EQ(NIMBUS_E_IS_FOLDER, nimbus_entry_json(&e, nullptr, NIMBUS_ENTRY_LOCATOR, out, 256));
}

TEST(EntryJson, BufferAndArguments) {
    nimbus_entry e = song();
    const std::string want = json_of(e, "/M", 0);
    std::vector<char> out(want.size() + 1, 'x');
    ASSERT_EQ(NIMBUS_OK, nimbus_entry_json(&e, "/M", 0, out.data(), (int32_t)out.size()));
    EXPECT_EQ(want, out.data());
    // One byte short: no room for the NUL; the object waits for the host.
    std::fill(out.begin(), out.end(), 'x');
    EXPECT_EQ(NIMBUS_E_BUFFER, nimbus_entry_json(&e, "/M", 0, out.data(), (int32_t)want.size()));
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ(want, nimbus_result_json());
    EXPECT_STREQ("output buffer too small", nimbus_last_error());
    EXPECT_EQ(NIMBUS_E_BUFFER, nimbus_entry_json(&e, "/M", 0, nullptr, 0));
    EXPECT_EQ(want, nimbus_result_json());

    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_entry_json(nullptr, "/M", 0, out.data(), 100));
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_entry_json(&e, "/M", 8, out.data(), 100));
    EXPECT_EQ(
        NIMBUS_E_INVALID,
        nimbus_entry_json(&e, "/M", NIMBUS_ENTRY_LOCATOR | NIMBUS_ENTRY_MEDIA, out.data(), 100));
    EXPECT_STRNE("", nimbus_last_error());
}

struct EntryJsonList : FakeTest {};

int add(void *ctx, const nimbus_entry *e) {
    auto *json = static_cast<std::string *>(ctx);
    char out[4096];
    if (nimbus_entry_json(e, "/M", NIMBUS_ENTRY_MEDIA, out, sizeof out) != NIMBUS_OK)
        return 1;
    *json += (json->size() > 10 ? "," : "") + std::string(out);
    return 0;
}

// The facet the service sent decides the media type, even one without a
// usable value; the values alone could not tell.
TEST_F(EntryJsonList, MediaTypeAsTheFlatListing) {
    script_token();
    const std::string first = kGraph + "/me/drive/root:/M:/children";
    const std::string body =
        "{\"value\":[{\"id\":\"A\",\"name\":\"a.mp4\",\"file\":{\"mimeType\":\"video/mp4\"},"
        "\"audio\":{}},{\"id\":\"B\",\"name\":\"b\",\"photo\":{\"takenDateTime\":\"x\"}},"
        "{\"id\":\"C\",\"name\":\"c.m4a\",\"file\":{\"mimeType\":\"audio/mp4\"},\"video\":{}},"
        "{\"id\":\"D\",\"name\":\"d.mp3\",\"file\":{}},{\"id\":\"E\",\"name\":\"e\",\"file\":{}},"
        "{\"id\":\"F\",\"name\":\"f\",\"folder\":{},\"audio\":{\"title\":\"t\"}}]}";
    script_get(first_page(first), 200, body);
    script_get(handle_page(first), 200, body);
    const std::string s = settings("\"Metadata\":true");
    outcome flat = list(s, "/M");
    ASSERT_EQ(NIMBUS_OK, flat.rc) << flat.error;
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(s.c_str(), nimbus_io_fake(), &drive));
    std::string json = "{\"items\":[";
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "/M", add, &json)) << nimbus_last_error();
    nimbus_drive_close(drive);
    EXPECT_EQ(flat.out, json + "]}");
    for (const char *kind : {"\"a.mp4\",\"path\"", "\"media_type\":\"audio\"",
                             "\"media_type\":\"image\"", "\"media_type\":\"video\""})
        EXPECT_NE(std::string::npos, flat.out.find(kind)) << flat.out;
}

} // namespace
