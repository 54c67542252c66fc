// What renderers are told about a file: DLNA profiles from type and facts,
// the fourth protocolInfo field in DIDL-Lite, and which entries Browse
// offers.
#include <gtest/gtest.h>

#include <cstdint>

#include "didl.h"
#include "profiles.h"

namespace {

dlna::item file(const char *path, const char *mime, int64_t size = -1, int64_t duration_ms = -1,
                int width = 0, int height = 0) {
    dlna::item it;
    it.path = path;
    it.mime = mime;
    it.size = size;
    it.duration_ms = duration_ms;
    it.width = width;
    it.height = height;
    return it;
}

std::string didl(const dlna::item &it) {
    std::string out;
    dlna::didl_object(out, it, "http://h/r");
    return out;
}

const char kStream[] =
    "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";

TEST(DlnaProfiles, DidlCarriesTheProfileWhereTheFactsProveIt) {
    EXPECT_EQ(didl(file("/a.mp3", "audio/mpeg", 4000000, 240000)),
              std::string("<item id=\"0/a.mp3\" parentID=\"0\" restricted=\"1\"><dc:title>a.mp3"
                          "</dc:title><upnp:class>object.item.audioItem.musicTrack</upnp:class>"
                          "<res protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;") +
                  kStream + "\" size=\"4000000\" duration=\"0:04:00.000\">http://h/r</res></item>");
    EXPECT_EQ(didl(file("/p.jpg", "image/jpeg", 3000000, -1, 4000, 3000)),
              "<item id=\"0/p.jpg\" parentID=\"0\" restricted=\"1\"><dc:title>p.jpg</dc:title>"
              "<upnp:class>object.item.imageItem</upnp:class><res protocolInfo=\"http-get:*:"
              "image/jpeg:DLNA.ORG_PN=JPEG_LRG;DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS="
              "00F00000000000000000000000000000\" size=\"3000000\" resolution=\"4000x3000\">"
              "http://h/r</res></item>");
    EXPECT_EQ(didl(file("/s.flac", "audio/flac", 30000000, 200000)),
              std::string("<item id=\"0/s.flac\" parentID=\"0\" restricted=\"1\"><dc:title>s.flac"
                          "</dc:title><upnp:class>object.item.audioItem.musicTrack</upnp:class>"
                          "<res protocolInfo=\"http-get:*:audio/flac:") +
                  kStream +
                  "\" size=\"30000000\" duration=\"0:03:20.000\">http://h/r</res></item>");
    EXPECT_EQ(didl(file("/f.mkv", "video/x-matroska", 1000000000, 5400000, 1920, 800)),
              std::string("<item id=\"0/f.mkv\" parentID=\"0\" restricted=\"1\"><dc:title>f.mkv"
                          "</dc:title><upnp:class>object.item.videoItem</upnp:class><res "
                          "protocolInfo=\"http-get:*:video/x-matroska:") +
                  kStream +
                  "\" size=\"1000000000\" duration=\"1:30:00.000\" resolution=\"1920x800\">"
                  "http://h/r</res></item>");
    EXPECT_EQ(didl(file("/m.mp4", "video/mp4", 700000000, 3600500, 1280, 720)),
              std::string("<item id=\"0/m.mp4\" parentID=\"0\" restricted=\"1\"><dc:title>m.mp4"
                          "</dc:title><upnp:class>object.item.videoItem</upnp:class><res "
                          "protocolInfo=\"http-get:*:video/mp4:") +
                  kStream +
                  "\" size=\"700000000\" duration=\"1:00:00.500\" resolution=\"1280x720\">"
                  "http://h/r</res></item>");
    EXPECT_EQ(dlna::protocol_info(file("/d.pdf", "application/pdf")),
              "http-get:*:application/pdf:*");
}

TEST(DlnaProfiles, LimitsHoldAtTheBoundAndNotOnePast) {
    auto pn = [](const dlna::item &it) {
        const char *p = dlna::media_profile(it);
        return std::string(p ? p : "-");
    };
    auto jpeg = [&](int w, int h) { return pn(file("/p.JPG", "image/JPEG", 9, -1, w, h)); };
    EXPECT_EQ(jpeg(640, 480), "JPEG_SM");
    EXPECT_EQ(jpeg(641, 480), "JPEG_MED");
    EXPECT_EQ(jpeg(640, 481), "JPEG_MED");
    EXPECT_EQ(jpeg(1024, 768), "JPEG_MED");
    EXPECT_EQ(jpeg(1025, 768), "JPEG_LRG");
    EXPECT_EQ(jpeg(4096, 4096), "JPEG_LRG");
    EXPECT_EQ(jpeg(4097, 4096), "-");
    EXPECT_EQ(jpeg(4096, 4097), "-");
    EXPECT_EQ(jpeg(0, 480), "-");
    EXPECT_EQ(jpeg(-1, -1), "-");
    // 1 s of audio: 40 000 bytes are 320 kbit/s, 72 000 bytes 576 kbit/s.
    auto aac = [&](int64_t size, int64_t ms) { return pn(file("/a.m4a", "audio/mp4", size, ms)); };
    EXPECT_EQ(aac(40000, 1000), "AAC_ISO_320");
    EXPECT_EQ(aac(40001, 1000), "AAC_ISO");
    EXPECT_EQ(aac(72000, 1000), "AAC_ISO");
    EXPECT_EQ(aac(72001, 1000), "-");
    EXPECT_EQ(aac(40000, -1), "AAC_ISO");
    EXPECT_EQ(aac(-1, 1000), "AAC_ISO");
    EXPECT_EQ(aac(INT64_MAX, 1), "-");
    EXPECT_EQ(pn(file("/a.m4a", "audio/x-m4a", 1000, 1000)), "AAC_ISO_320");
    EXPECT_EQ(pn(file("/a.mp3", "audio/mpeg")), "MP3");
    EXPECT_EQ(pn(file("/a.MP2", "audio/mpeg")), "-");
    EXPECT_EQ(pn(file("/a.pcm", "audio/L16")), "LPCM");
    for (const char *none : {"audio/wav", "audio/flac", "audio/ogg", "video/webm", "video/mp4",
                             "video/x-matroska", "audio/mpeg;x=1", "text/plain", ""})
        EXPECT_EQ(pn(file("/x", none, 1000, 1000, 100, 100)), "-") << none;
    dlna::item folder;
    folder.path = "/a.mp3";
    folder.folder = true;
    folder.mime = "audio/mpeg";
    EXPECT_EQ(pn(folder), "-");
    EXPECT_STREQ(dlna::transfer_mode(file("/a", "image/png")), "Interactive");
    EXPECT_STREQ(dlna::transfer_mode(file("/a", "video/mp4")), "Streaming");
    EXPECT_EQ(dlna::transfer_mode(file("/a", "application/x-subrip")), nullptr);
    EXPECT_EQ(dlna::content_features(file("/a.srt", "application/x-subrip")), "*");
}

TEST(DlnaProfiles, BrowseOffersMediaFoldersAndSubtitlesOnly) {
    dlna::item folder;
    folder.path = "/Docs";
    folder.folder = true;
    EXPECT_TRUE(dlna::offered(folder));
    for (const char *yes :
         {"/a.mp3|audio/mpeg", "/f.mkv|video/x-matroska", "/p.jpg|image/jpeg", "/p.heic|image/heic",
          "/F.srt|application/x-subrip", "/F.en.VTT|text/plain", "/x|text/vtt"}) {
        std::string s(yes);
        size_t bar = s.find('|');
        EXPECT_TRUE(dlna::offered(file(s.substr(0, bar).c_str(), s.substr(bar + 1).c_str())))
            << yes;
    }
    for (const char *no : {"/d.pdf|application/pdf", "/n.txt|text/plain", "/i.svg|image/svg+xml",
                           "/x.srt.txt|text/plain", "/s.html|text/html", "/b|"}) {
        std::string s(no);
        size_t bar = s.find('|');
        EXPECT_FALSE(dlna::offered(file(s.substr(0, bar).c_str(), s.substr(bar + 1).c_str())))
            << no;
    }
}

} // namespace
