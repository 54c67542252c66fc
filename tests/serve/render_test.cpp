// The gateway's renderers alone (tools/serve/pages.*, playlists.*): a folder
// page and an error page from hand-made entries, with a hostile name
// escaped, and a playlist's exact bytes.
#include "output.h"
#include "serve/capability.h"
#include "serve/listing.h"
#include "serve/pages.h"
#include "serve/playlists.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Would open an element and an attribute, and start a playlist line.
const char kHostile[] = "<img src=x onerror='a'>\n#EXTINF:0,\"&.mp3";
const long long kNow = 1700000000;

// A folder of a subfolder, two media files (one of them hostile) and a
// picture, in the service's order.
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

TEST(Render, FolderPageEscapesAHostileName) {
    album a;
    cli::request q;
    q.path = "/Mix/";
    q.t = "s\"x";
    std::string page = cli::folder_page(q, a.l);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"/Mix/%3Cimg%20src%3Dx%20onerror%3D%27a%27%3E%0A%23EXTINF%3A0%"
                        "2C%22%26.mp3?t=s%22x\">&lt;img src=x onerror=&#39;a&#39;&gt;\\x0a#EXTINF:"
                        "0,&quot;&amp;.mp3</a>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("1 folder, 3 files"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"/Mix/Bonus/?t=s%22x\">Bonus/</a>"), std::string::npos);

    cli::error_info info;
    info.path = kHostile;
    info.detail = "answered HTTP 404: {\"error\":{\"code\":\"<b>\"}}";
    std::string error = cli::error_page(404, "No <such> file", info, q);
    EXPECT_EQ(error.find("<b>"), std::string::npos);
    EXPECT_EQ(error.find("<such>"), std::string::npos);
    EXPECT_NE(error.find("<title>404 Not Found - nimbus</title>"), std::string::npos);
    EXPECT_NE(error.find("<h1>No &lt;such&gt; file</h1>"), std::string::npos);
}

TEST(Render, PlaylistBytes) {
    album a;
    cli::capability_key none;
    EXPECT_EQ(cli::folder_playlist(a.l, "/Mix/", "127.0.0.1:8080", none, kNow),
              "#EXTM3U\n"
              "#EXTINF:-1,<img src=x onerror='a'>\\x0a#EXTINF:0,\"&.mp3\n"
              "http://127.0.0.1:8080/Mix/"
              "%3Cimg%20src%3Dx%20onerror%3D%27a%27%3E%0A%23EXTINF%3A0%2C%22%26.mp3\n"
              "#EXTINF:61,Ada - Tune\n"
              "http://127.0.0.1:8080/Mix/b.flac\n");
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
