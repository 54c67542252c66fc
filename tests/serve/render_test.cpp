// The gateway's renderers alone (tools/serve/pages.*, playlists.*): a folder
// page, a search page, an error page and a playlist from hand-made entries,
// compared byte for byte with the golden files in tests/serve/golden/
// (NIMBUS_GOLDEN_UPDATE=1 rewrites them: read the difference before you
// commit it), with a hostile name that must come out escaped.
#include "output.h"
#include "serve/capability.h"
#include "serve/listing.h"
#include "serve/pages.h"
#include "serve/playlists.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Would open an element and an attribute, and start a playlist line.
const char kHostile[] = "<img src=x onerror='a'>\n#EXTINF:0,\"&.mp3";
const long long kNow = 1700000000;

// A folder of a subfolder, two media files (one of them hostile) and a
// picture, in the service's order.
// got against the golden file name, or written to it.
void golden(const char *name, const std::string &got) {
    std::string path = std::string(NIMBUS_GOLDEN_DIR "/") + name;
    if (std::getenv("NIMBUS_GOLDEN_UPDATE")) {
        std::ofstream(path, std::ios::binary) << got;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << path;
    std::string want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, want) << name << " differs from its golden file";
}

struct album {
    album() {
        add("Bonus", nullptr, 1);
        add("b.flac", "audio/flac", 0, 61400, "Ada", "Tune");
        add("cover.jpg", "image/jpeg", 0);
        add(kHostile, "audio/mpeg", 0);
        EXPECT_TRUE(l.finish(cli::name_before));
    }
    void add(const char *name, const char *mime, int folder, int64_t ms = 0,
             const char *artist = nullptr, const char *title = nullptr) {
        nimbus_entry e{};
        e.name = name;
        e.id = "id";
        e.size = folder ? -1 : 2048;
        e.mtime_ms = 1704164645000; // 2024-01-02 03:04:05 UTC
        e.folder = folder;
        e.mime_type = mime;
        e.duration_ms = ms;
        e.artist = artist;
        e.title = title;
        ASSERT_TRUE(l.add(e));
    }
    cli::folder_listing l;
};

TEST(Render, PagesAsGolden) {
    album a;
    cli::request q;
    q.path = "/Mix/";
    q.t = "s\"x";
    std::string page = cli::folder_page(q, a.l);
    golden("folder.html", page);
    EXPECT_EQ(page.find("<img"), std::string::npos);

    std::vector<cli::found_row> rows(3);
    rows[0].name = "Bonus";
    rows[0].path = "/Mix/Bonus";
    rows[0].folder = true;
    rows[1].name = kHostile;
    rows[1].path = std::string("/Mix/") + kHostile;
    rows[1].size = 2048;
    rows[1].mtime_ms = 1704164645000;
    rows[2].name = "lost.mp3"; // the answer told no path
    q.search = "mix <b>";
    golden("search.html", cli::search_page(q, rows, true));

    cli::error_info info;
    info.path = kHostile;
    info.parent = "/Mix/";
    info.detail = "answered HTTP 404: {\"error\":{\"code\":\"<b>\"}}";
    std::string error = cli::error_page(404, "No <such> file", info, q);
    golden("error.html", error);
    EXPECT_EQ(error.find("<b>"), std::string::npos);
}

TEST(Render, PlaylistAsGolden) {
    album a;
    cli::capability_key none;
    golden("folder.m3u", cli::folder_playlist(a.l, "/Mix/", "127.0.0.1:8080", none, kNow));

    // With a secret every URL carries its file's capability, never the secret.
    cli::capability_key key("a-secret-of-24-characters");
    std::string with = cli::folder_playlist(a.l, "/Mix/", "[::1]:80", key, kNow);
    EXPECT_NE(with.find("http://[::1]:80/Mix/b.flac?" + key.suffix("/Mix/b.flac", kNow) + "\n"),
              std::string::npos)
        << with;
    EXPECT_EQ(with.find("a-secret"), std::string::npos);

    EXPECT_TRUE(cli::host_header_ok("[::1]:8080"));
    EXPECT_FALSE(cli::host_header_ok("a\r\nb"));
    EXPECT_TRUE(cli::host_header_ok(std::string(255, 'a')));
    EXPECT_FALSE(cli::host_header_ok(std::string(256, 'a')));
}

} // namespace
