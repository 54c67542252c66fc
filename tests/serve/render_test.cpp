// The gateway's renderers alone (tools/serve/pages.*, playlists.*): a folder
// page, a search page, an error page and a playlist from hand-made entries,
// compared byte for byte with the golden files in tests/serve/golden/
// (NIMBUS_GOLDEN_UPDATE=1 rewrites them: read the difference before you
// commit it), with a hostile name that must come out escaped.
#include "output.h"
#include "serve/capability.h"
#include "serve/listing.h"
#include "serve/pages.h"
#include "serve/player.h"
#include "serve/playlists.h"
#include "serve/subtitles.h"

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
    explicit album(bool subtitles = false) {
        if (subtitles) {
            add("film.srt", "application/x-subrip", 0);
            add("film.<b>.srt", "application/x-subrip", 0); // not a language tag
            add("film.en.srt", "application/x-subrip", 0);
        }
        add("Bonus", nullptr, 1);
        add("b.flac", "audio/flac", 0, 61400, "Ada", "Tune");
        add("cover.jpg", "image/jpeg", 0);
        add(kHostile, "audio/mpeg", 0);
        add("film.mkv", "video/x-matroska", 0, 5400000, nullptr, nullptr, 1920, 1080, 2019);
        add("notes.txt", "text/plain", 0);
        EXPECT_TRUE(l.finish(cli::name_before));
    }
    void add(const char *name, const char *mime, int folder, int64_t ms = 0,
             const char *artist = nullptr, const char *title = nullptr, int32_t width = 0,
             int32_t height = 0, int32_t year = 0) {
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
        e.width = width;
        e.height = height;
        e.year = year;
        for (const char *kind : {"audio", "video", "image"})
            if (mime && std::string(mime).rfind(std::string(kind) + "/", 0) == 0)
                e.media_type = kind;
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
    EXPECT_EQ(page.find("<img src=x"), std::string::npos);

    std::vector<cli::found_row> rows(3);
    rows[0].name = "Bonus";
    rows[0].path = "/Mix/Bonus";
    rows[0].folder = true;
    rows[1].name = kHostile;
    rows[1].path = std::string("/Mix/") + kHostile;
    rows[1].size = 2048;
    rows[1].media = true;
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

TEST(Render, FilePagesAsGolden) {
    album a(true);
    cli::request q;
    q.t = "s\"x";
    auto row = [&a](const char *name) {
        for (size_t i = 0; i < a.l.size(); i++)
            if (a.l.row(i).name == name)
                return a.l.row(i);
        return cli::folder_row();
    };
    q.path = "/Mix/film.mkv";
    golden("film.html", cli::file_page(q, row("film.mkv"), cli::subtitles_of(a.l, "film.mkv")));
    q.path = "/Mix/b.flac";
    std::string track = cli::file_page(q, row("b.flac"), {});
    EXPECT_NE(track.find(
                  "<audio controls preload=\"metadata\" src=\"/Mix/b.flac?stream=1&amp;t=s%22x\">"),
              std::string::npos)
        << track;
    q.path = std::string("/Mix/") + kHostile;
    std::string hostile = cli::file_page(q, row(kHostile), {});
    EXPECT_EQ(hostile.find("<img src=x"), std::string::npos);
    EXPECT_NE(hostile.find(
                  "<h1>&lt;img src=x onerror=&#39;a&#39;&gt;\\x0a#EXTINF:0,&quot;&amp;.mp3</h1>"),
              std::string::npos)
        << hostile;
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
