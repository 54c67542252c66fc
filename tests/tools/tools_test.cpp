// The command's pure pieces: the settings writer's merge, the --page-size
// rewrite, and the --json answers written from the handle's entries.
#include "context.h"
#include "entry_json.h"
#include "settings_file.h"

#include <gtest/gtest.h>
#include <nimbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using cli::member;

TEST(SettingsMerge, ReplacesFirstKeepsTheRestAndEscapes) {
    const std::string text = "{\"a\":1.50,\"refresh_token\":\"old\",\"n\":{\"x\":[1,null]},"
                             "\"refresh_token\":\"second\"}";
    std::string merged, error;
    ASSERT_TRUE(cli::merge_members(
        text, {{"refresh_token", "new\"\\\n\x01\x7f\xc3\xa9"}, {"ID", "g"}}, &merged, &error))
        << error;
    // Only the first occurrence changes (the library reads that one); raw
    // numbers, nesting and order stay; a new member goes last.
    EXPECT_EQ(cli::settings_value(merged, "refresh_token"), "new\"\\\n\x01\x7f\xc3\xa9");
    EXPECT_NE(merged.find("\"a\": 1.50"), std::string::npos) << merged;
    EXPECT_NE(merged.find("\"second\""), std::string::npos) << merged;
    EXPECT_LT(merged.find("\"n\""), merged.find("\"ID\":\"g\"")) << merged;

    EXPECT_FALSE(cli::merge_members("[1]", {{"a", "b"}}, &merged, &error));
    EXPECT_EQ(error, "the settings file is not a JSON object");
    EXPECT_FALSE(cli::merge_members("{\"a\":", {{"a", "b"}}, &merged, &error));
}

TEST(SettingsMerge, TokenKeyFollowsWhatTheLibraryReads) {
    EXPECT_EQ(cli::refresh_token_key("{\"RefreshToken\":\"x\",\"refresh_token\":\"y\"}", "A"),
              "refresh_token");
    EXPECT_EQ(cli::refresh_token_key("{\"RefreshToken\":\"x\"}", "refresh_token"), "RefreshToken");
    EXPECT_EQ(cli::refresh_token_key("{}", "RefreshToken"), "RefreshToken");
    EXPECT_EQ(cli::settings_value("{\"k\":\" v \"}", "k"), "v");
    EXPECT_EQ(cli::settings_value("{}", "k"), "");
}

TEST(SettingsStore, NewFileInMissingFoldersIsPrivate) {
    char base[] = "/tmp/nimbus-tools-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    const std::string dir = std::string(base) + "/a/b";
    const std::string path = dir + "/settings.json";
    std::string error, text;
    ASSERT_TRUE(cli::store_members(path, {{"refresh_token", "t1"}}, nullptr, &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    cli::file_identity id;
    ASSERT_TRUE(cli::read_settings(path, &text, &error, &id)) << error;
    EXPECT_EQ(cli::settings_value(text, "refresh_token"), "t1");
    // A write that expects the file it read lands; once the name holds a
    // file no locked write left there, it is refused.
    // A link keeps the file read alive, so no new file can take its inode.
    ASSERT_EQ(link(path.c_str(), (dir + "/read.json").c_str()), 0);
    ASSERT_TRUE(cli::store_members(path, {{"refresh_token", "t2"}}, &id, &error)) << error;
    const std::string stranger = dir + "/other.json";
    FILE *f = std::fopen(stranger.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("{\"refresh_token\":\"theirs\"}", f);
    std::fclose(f);
    ASSERT_EQ(chmod(stranger.c_str(), 0600), 0);
    ASSERT_EQ(std::rename(stranger.c_str(), path.c_str()), 0);
    EXPECT_FALSE(cli::store_members(path, {{"refresh_token", "t3"}}, &id, &error));
    ASSERT_TRUE(cli::read_settings(path, &text, &error));
    EXPECT_EQ(cli::settings_value(text, "refresh_token"), "theirs");
    std::string cmd = std::string("rm -rf ") + base;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST(PageSize, GoesFirstUnlessStoredAndNotForced) {
    EXPECT_EQ(cli::with_page_size("{\"a\":1}", 5, false), "{\"PageSize\":5,\"a\":1}");
    EXPECT_EQ(cli::with_page_size(" { } ", 7, true), " {\"PageSize\":7 } ");
    EXPECT_EQ(cli::with_page_size("{\"PageSize\":9}", 5, false), "{\"PageSize\":9}");
    // Forced, it goes in front of the stored one: the library reads the first.
    EXPECT_EQ(cli::with_page_size("{\"PageSize\":9}", 5, true), "{\"PageSize\":5,\"PageSize\":9}");
    EXPECT_EQ(cli::with_page_size("[1]", 5, true), "[1]");
    EXPECT_EQ(cli::with_page_size("{bad", 5, true), "{bad");
}

TEST(HeaderMarkers, GoFirstSoTheFileCannotUndoThem) {
    EXPECT_EQ(cli::with_header_markers(" { } "), " {\"HeaderMarkers\":true } ");
    EXPECT_EQ(cli::with_header_markers("{\"HeaderMarkers\":false}"),
              "{\"HeaderMarkers\":true,\"HeaderMarkers\":false}");
    EXPECT_EQ(cli::with_header_markers("[1]"), "[1]");
    EXPECT_EQ(cli::with_header_markers("{bad"), "{bad");
}

// A transport that answers every GET with one children page (or one item)
// and every POST with a token: the flat exports and the handle see the same.
struct canned {
    std::string get_body;
};

int c_get(void *ctx, const char *, char **body, int32_t *status, char **) {
    *body = strdup(static_cast<canned *>(ctx)->get_body.c_str());
    *status = 200;
    return 0;
}

int c_post(void *, const char *, const char *, const char *, char **answer, int32_t *status,
           char **) {
    *answer = strdup("{\"token_type\":\"Bearer\",\"expires_in\":3600,\"access_token\":\"at\"}");
    *status = 200;
    return 0;
}

int add_entry(void *ctx, const nimbus_entry *e) {
    static_cast<cli::listing_json *>(ctx)->add(*e);
    return 0;
}

std::string listed(nimbus_drive *drive, const std::string &folder) {
    cli::listing_json json(folder);
    EXPECT_EQ(nimbus_drive_list(drive, folder.c_str(), add_entry, &json), NIMBUS_OK)
        << nimbus_last_error();
    return json.finish();
}

// The --json answers are written by the command from entries: they must
// stay the flat exports' bytes, hostile names and every folder form included.
TEST(EntryJson, SameBytesAsTheFlatExports) {
    const char *settings = "{\"ClientId\":\"c\",\"ClientSecret\":\"s\",\"refresh_token\":\"r\"}";
    canned io_ctx;
    io_ctx.get_body =
        "{\"value\":["
        "{\"id\":\"A!1\",\"name\":\"q\\\"b\\\\s\\n\\t\\u0001\\u007f/x \\u00e9\",\"size\":12,"
        "\"lastModifiedDateTime\":\"2024-01-02T03:04:05Z\",\"file\":{\"mimeType\":\"audio/mpeg\"}},"
        "{\"id\":\"A!2\",\"name\":\"Dir\",\"folder\":{\"childCount\":0}},"
        "{\"id\":\"A!1\",\"name\":\"dup\",\"size\":1,\"file\":{}}]}";
    nimbus_io io{&io_ctx, c_get, c_post, nullptr};
    ASSERT_EQ(nimbus_set_io(&io), NIMBUS_OK);
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(nimbus_drive_open(settings, &io, &drive), NIMBUS_OK);
    for (const char *folder : {"", "/Music/Sub", "A!9"}) {
        ASSERT_EQ(nimbus_list(settings, folder, nullptr, 0), NIMBUS_OK) << nimbus_last_error();
        const std::string flat = nimbus_result_json();
        EXPECT_EQ(listed(drive, folder), flat) << folder;
    }
    cli::listing_json empty("/E");
    EXPECT_EQ(empty.finish(), "{\"items\":[]}");

    io_ctx.get_body = "{\"id\":\"A!1\",\"name\":\"a\\\"b\",\"size\":7,\"file\":{},"
                      "\"@microsoft.graph.downloadUrl\":\"https://d.example/x?\\u0001\"}";
    ASSERT_EQ(nimbus_stream_url(settings, "\"/a\"", nullptr, 0), NIMBUS_OK) << nimbus_last_error();
    const std::string flat = nimbus_result_json();
    struct one {
        std::string json;
    } got;
    auto take = [](void *ctx, const nimbus_entry *e) {
        static_cast<one *>(ctx)->json = cli::locator_json(e->download_url, e->id, e->name, e->size);
        return 0;
    };
    ASSERT_EQ(nimbus_drive_item(drive, "/a", take, &got), NIMBUS_OK);
    EXPECT_EQ(got.json, flat);
    nimbus_drive_close(drive);
    nimbus_set_io(nullptr);
}

// With "Metadata": true too, for the facets and MIME types a listing may
// carry: the command tells media_type from the entry's values, the library
// from the facets themselves. (A facet without one usable value and no
// MIME type leaves no trace in the entry: the one case they can differ.)
TEST(EntryJson, MetadataSameBytesAsTheFlatExports) {
    const char *settings = "{\"ClientId\":\"c\",\"ClientSecret\":\"s\",\"refresh_token\":\"r\","
                           "\"Metadata\":true}";
    EXPECT_TRUE(cli::wants_metadata(settings));
    EXPECT_FALSE(cli::wants_metadata("{\"Metadata\":false,\"Metadata\":true}"));
    EXPECT_FALSE(cli::wants_metadata("{\"Metadata\":\"true\"}"));
    canned io_ctx;
    io_ctx.get_body =
        "{\"value\":["
        "{\"id\":\"M!1\",\"name\":\"01 So What.FLAC\",\"size\":9,\"file\":{\"mimeType\":\"audio/"
        "flac\"},\"audio\":{\"title\":\"So \\\"What\\u0001\",\"artist\":\"Miles\",\"album\":\"K\","
        "\"track\":1,\"year\":1959,\"duration\":545000}},"
        "{\"id\":\"M!2\",\"name\":\"film.MkV\",\"file\":{\"mimeType\":\"video/x-matroska\"},"
        "\"video\":{\"duration\":5400000,\"width\":1920,\"height\":1080}},"
        "{\"id\":\"M!3\",\"name\":\"talk.m4a\",\"file\":{\"mimeType\":\"video/mp4\"},"
        "\"audio\":{\"album\":\"Pod\"}},"
        "{\"id\":\"M!4\",\"name\":\"clip.mp4\",\"file\":{\"mimeType\":\"audio/mpeg\"},"
        "\"video\":{\"duration\":1000,\"width\":640,\"height\":360}},"
        "{\"id\":\"M!5\",\"name\":\"p.jpeg\",\"file\":{\"mimeType\":\"image/jpeg\"},"
        "\"image\":{\"width\":4000,\"height\":3000},\"photo\":{\"takenDateTime\":"
        "\"2019-06-01T10:00:00Z\"}},"
        "{\"id\":\"M!6\",\"name\":\"scan\",\"image\":{\"width\":10,\"height\":20}},"
        "{\"id\":\"M!7\",\"name\":\"plain.mp3\",\"file\":{\"mimeType\":\"audio/mpeg\"}},"
        "{\"id\":\"M!8\",\"name\":\"notes.TXT\",\"file\":{\"mimeType\":\"text/plain\"}},"
        "{\"id\":\"M!9\",\"name\":\".hidden\",\"file\":{}},"
        "{\"id\":\"M!10\",\"name\":\"end.\",\"file\":{}},"
        "{\"id\":\"M!11\",\"name\":\"a.0123456789012345678901234567890\",\"file\":{}},"
        "{\"id\":\"M!12\",\"name\":\"a.01234567890123456789012345678901\",\"file\":{}},"
        "{\"id\":\"M!13\",\"name\":\"Dir.d\",\"folder\":{},\"audio\":{\"title\":\"no\"}},"
        "{\"id\":\"M!14\",\"name\":\"z.ogg\",\"file\":{\"mimeType\":\"audio/ogg\"},"
        "\"audio\":{\"track\":0,\"year\":-1,\"duration\":-5}},"
        "{\"id\":\"M!16\",\"name\":\"n.bin\",\"file\":{\"mimeType\":\"\"}},"
        "{\"id\":\"M!15\",\"name\":\"m.mov\",\"file\":{\"mimeType\":\"video/quicktime\"}}]}";
    nimbus_io io{&io_ctx, c_get, c_post, nullptr};
    ASSERT_EQ(nimbus_set_io(&io), NIMBUS_OK);
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(nimbus_drive_open(settings, &io, &drive), NIMBUS_OK);
    ASSERT_EQ(nimbus_list(settings, "/M", nullptr, 0), NIMBUS_OK) << nimbus_last_error();
    const std::string flat = nimbus_result_json();
    ASSERT_NE(flat.find("\"media_type\":\"video\""), std::string::npos) << flat;
    cli::listing_json json("/M", true);
    ASSERT_EQ(nimbus_drive_list(drive, "/M", add_entry, &json), NIMBUS_OK) << nimbus_last_error();
    EXPECT_EQ(json.finish(), flat);
    nimbus_drive_close(drive);
    nimbus_set_io(nullptr);
}

} // namespace
