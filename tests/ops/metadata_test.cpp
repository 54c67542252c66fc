// The "Metadata" settings key: the entry JSON filled from the facets, byte
// for byte, and unchanged without the key.
#include <string>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

TEST_F(FakeTest, MetadataFillsTheEntryJson) {
    script_token();
    script_get(
        first_page(kRoot), 200,
        "{\"value\":[{\"id\":\"a\",\"name\":\"01 Song.FLAC\",\"size\":3,\"file\":{\"mimeType\":"
        "\"audio/flac\"},\"audio\":{\"title\":\"Song \\\"1\\\"\",\"artist\":\"Ada\",\"album\":"
        "\"Alb\",\"track\":1,\"year\":1999,\"duration\":183000}},"
        "{\"id\":\"v\",\"name\":\"film.mkv\",\"size\":4,\"file\":{\"mimeType\":\"video/"
        "x-matroska\"},"
        "\"video\":{\"duration\":5000}},"
        "{\"id\":\"p\",\"name\":\"noext\",\"size\":1,\"file\":{\"mimeType\":\"image/jpeg\"}},"
        "{\"id\":\"d\",\"name\":\"Dir.x\",\"size\":0,\"folder\":{}}]}");
    outcome plain = list(settings(), nullptr);
    ASSERT_EQ(NIMBUS_OK, plain.rc);
    EXPECT_EQ(items_json({entry("01 Song.FLAC", "/01 Song.FLAC", false, 3, 0, "a", ""),
                          entry("film.mkv", "/film.mkv", false, 4, 0, "v", ""),
                          entry("noext", "/noext", false, 1, 0, "p", ""),
                          entry("Dir.x", "/Dir.x", true, 0, 0, "d", "")}),
              plain.out);
    outcome off = list(settings("\"Metadata\":false"), nullptr);
    EXPECT_EQ(plain.out, off.out);

    outcome o = list(settings("\"Metadata\":true"), nullptr);
    ASSERT_EQ(NIMBUS_OK, o.rc) << o.error;
    auto base = [](const std::string &name, bool folder, int size, const std::string &id) {
        return "{\"name\":\"" + name + "\",\"path\":\"/" + name +
               "\",\"folder\":" + (folder ? "true,\"kind\":\"dir\"" : "false,\"kind\":\"file\"") +
               ",\"size\":" + std::to_string(size) + ",\"mtime_ms\":0,\"id\":\"" + id +
               "\",\"backend_id\":\"" + id + "\",\"parent_id\":\"\"";
    };
    const std::string fixed = ",\"imdb\":null,\"tmdb\":null,\"available\":false";
    EXPECT_EQ("{\"items\":[" + base("01 Song.FLAC", false, 3, "a") +
                  ",\"title\":\"Song \\\"1\\\"\",\"year\":1999,\"type\":null,\"media_type\":"
                  "\"audio\",\"container\":\"flac\"" +
                  fixed +
                  ",\"mime_type\":\"audio/flac\",\"artist\":\"Ada\",\"album\":\"Alb\","
                  "\"track\":1,\"duration_ms\":183000}," +
                  base("film.mkv", false, 4, "v") +
                  ",\"title\":null,\"year\":null,\"type\":null,\"media_type\":\"video\","
                  "\"container\":\"mkv\"" +
                  fixed +
                  ",\"mime_type\":\"video/x-matroska\",\"artist\":null,\"album\":null,"
                  "\"track\":null,\"duration_ms\":5000}," +
                  base("noext", false, 1, "p") +
                  ",\"title\":null,\"year\":null,\"type\":null,\"media_type\":\"image\","
                  "\"container\":null" +
                  fixed +
                  ",\"mime_type\":\"image/jpeg\",\"artist\":null,\"album\":null,\"track\":null,"
                  "\"duration_ms\":null}," +
                  base("Dir.x", true, 0, "d") +
                  ",\"title\":null,\"year\":null,\"type\":null,\"media_type\":null,"
                  "\"container\":null" +
                  fixed +
                  ",\"mime_type\":null,\"artist\":null,\"album\":null,\"track\":null,"
                  "\"duration_ms\":null}]}",
              o.out);
    outcome bad = list(settings("\"Metadata\":\"yes\""), nullptr);
    EXPECT_EQ(NIMBUS_E_INVALID, bad.rc);
    EXPECT_EQ("Metadata must be true or false", bad.error);
}

} // namespace
