// The MediaServer's pure pieces: ids, escaping, argument reading, the body
// guard and the UUID file.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "didl.h"
#include "soap.h"

namespace {

TEST(DlnaIds, EveryByteRoundTripsAndOnlyTheCanonicalFormIsRead) {
    std::string hostile = "/a b/<&\">\x01\x7f\xff%00%/\xc3\xa9";
    for (int c = 1; c < 256; c++)
        hostile += static_cast<char>(c);
    std::string id = dlna::object_id(hostile), back;
    EXPECT_EQ(id.find_first_not_of(
                  "0123456789ABCDEFabcdefghijklmnopqrstuvwxyzGHIJKLMNOPQRSTUVWXYZ-._~/%"),
              std::string::npos);
    ASSERT_TRUE(dlna::object_path(id, back));
    EXPECT_EQ(back, hostile);
    EXPECT_EQ(dlna::object_id("/Music/a b.flac"), "0/Music/a%20b.flac");
    EXPECT_EQ(dlna::object_id("/"), "0");
    ASSERT_TRUE(dlna::object_path("0", back));
    EXPECT_EQ(back, "/");
    for (const char *bad : {"", "0/", "/Music", "1/Music", "0/a%2", "0/a%2g", "0/a%2f", "0/a%00",
                            "0/a%41", "0/a b", "0/a<", "00"})
        EXPECT_FALSE(dlna::object_path(bad, back)) << bad;
    EXPECT_EQ(dlna::parent_path("/a/b"), "/a");
    EXPECT_EQ(dlna::parent_path("/a"), "/");
}

TEST(DlnaXml, HostileTextLeavesOnlyValidEscapedCharacters) {
    static const char text[] = "a<b>&\"'\x01\t\x7f\xc2\x85\xef\xbf\xbe\xff\xc0\xaf\xed\xa0\x80"
                               "\xf4\x90\x80\x80\xe2\x82\xac\xc3";
    std::string out;
    dlna::xml_text(out, std::string(text, sizeof text - 1));
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(out, "a&lt;b&gt;&amp;&quot;&apos;" + r + r + r + r + r + r + r + r + r + r + r + r +
                       r + r + r + "\xe2\x82\xac" + r);
    // Plain runs end exactly at the first byte that is not plain ASCII.
    out.clear();
    dlna::xml_text(out, std::string("x]]>y ~\x7f z\x1f\xc3(\xe2\x82\xac ok"));
    EXPECT_EQ(out, "x]]&gt;y ~" + r + " z" + r + r + "(\xe2\x82\xac ok");
}

TEST(DlnaSoap, BrowseAnswerCarriesTheDidlThroughOneMoreEscape) {
    std::string out = "x";
    dlna::soap_text(out, "a&amp;b<c d=\"e\">'f'</c>]]>");
    EXPECT_EQ(out, "xa&amp;amp;b&lt;c d=&quot;e&quot;&gt;'f'&lt;/c&gt;]]&gt;");

    // Hostile names, made DIDL, come back out of the SOAP body unchanged.
    dlna::item t;
    t.path = std::string("/M/x]]><item id=\"9\">&amp;\x01\x7f\xff\xc0\xaf\xed\xa0\x80.mp3");
    t.title = std::string("]]>&<\x00\x1b\xc3", 8);
    t.artist = "&lt;\"'";
    t.mime = "audio/mpeg";
    std::string body;
    dlna::didl_object(body, t, "http://h:1/M?a=1&b=2");
    std::string didl = dlna::didl_document(body);
    std::string soap = dlna::browse_answer(didl, 1, 4294967295u, 7);
    xmlDoc *doc = xmlReadMemory(soap.data(), static_cast<int>(soap.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    ASSERT_NE(doc, nullptr);
    xmlNode *answer = xmlDocGetRootElement(doc)->children->children;
    std::vector<std::string> args;
    for (xmlNode *n = answer->children; n; n = n->next) {
        xmlChar *text = xmlNodeGetContent(n);
        args.push_back(reinterpret_cast<const char *>(n->name) + std::string("=") +
                       reinterpret_cast<const char *>(text));
        xmlFree(text);
    }
    xmlFreeDoc(doc);
    EXPECT_EQ(args, (std::vector<std::string>{"Result=" + didl, "NumberReturned=1",
                                              "TotalMatches=4294967295", "UpdateID=7"}));
}

TEST(DlnaDidl, ItemCarriesMetadataAndResource) {
    dlna::item t;
    t.path = "/M/01 & <x>.flac";
    t.title = "Song";
    t.artist = "A";
    t.album = "B";
    t.mime = "Audio/FLAC";
    t.size = 12;
    t.duration_ms = 3723004;
    t.track = 3;
    std::string out;
    dlna::didl_object(out, t, "http://h/r?t=1&u=2");
    EXPECT_EQ(out, "<item id=\"0/M/01%20%26%20%3Cx%3E.flac\" parentID=\"0/M\" restricted=\"1\">"
                   "<dc:title>Song</dc:title><upnp:class>object.item.audioItem.musicTrack</"
                   "upnp:class><upnp:artist>A</upnp:artist><dc:creator>A</dc:creator>"
                   "<upnp:album>B</upnp:album><upnp:originalTrackNumber>3</"
                   "upnp:originalTrackNumber><res protocolInfo=\"http-get:*:audio/flac:DLNA.ORG_OP="
                   "01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000\" size=\"12\" "
                   "duration=\"1:02:03.004\">http://h/r?t=1&amp;u=2</res></item>");
    EXPECT_EQ(dlna::duration_text(0), "0:00:00.000");
    EXPECT_EQ(dlna::duration_text(360000000), "100:00:00.000");
    for (const char *bad : {"audio/mpeg:*", "audio/", "/mpeg", "audio", "audio/mp eg", "a/b/c",
                            "audio/mpeg;codecs=x", ""})
        EXPECT_EQ(dlna::clean_mime(bad), "application/octet-stream") << bad;
    dlna::item f;
    f.path = "/";
    f.folder = true;
    out.clear();
    dlna::didl_object(out, f, "");
    EXPECT_EQ(out, "<container id=\"0\" parentID=\"-1\" restricted=\"1\" searchable=\"0\">"
                   "<dc:title>/</dc:title><upnp:class>object.container.storageFolder</"
                   "upnp:class></container>");
    f.path = "/Films";
    f.child_count = 0;
    out.clear();
    dlna::didl_object(out, f, "");
    EXPECT_EQ(out, "<container id=\"0/Films\" parentID=\"0\" restricted=\"1\" searchable=\"0\" "
                   "childCount=\"0\"><dc:title>Films</dc:title><upnp:class>"
                   "object.container.storageFolder</upnp:class></container>");
}

// A cover is upnp:albumArtURI of profile JPEG_TN, escaped like every URL,
// on items and containers alike; none without its URL.
TEST(DlnaDidl, CoverIsAlbumArtOfProfileJpegTn) {
    dlna::item t;
    t.path = "/M/a.mp3";
    t.mime = "audio/mpeg";
    std::string out;
    dlna::didl_object(out, t, "http://h/r", "", "http://h/a.mp3?cover=small&c=1.x\"<");
    EXPECT_NE(out.find("<upnp:class>object.item.audioItem.musicTrack</upnp:class>"
                       "<upnp:albumArtURI dlna:profileID=\"JPEG_TN\">http://h/a.mp3?cover=small"
                       "&amp;c=1.x&quot;&lt;</upnp:albumArtURI>"),
              std::string::npos)
        << out;
    dlna::item f;
    f.path = "/M";
    f.folder = true;
    out.clear();
    dlna::didl_object(out, f, "", "", "http://h/M/?cover=small");
    EXPECT_EQ(out, "<container id=\"0/M\" parentID=\"0\" restricted=\"1\" searchable=\"0\">"
                   "<dc:title>M</dc:title><upnp:class>object.container.storageFolder</"
                   "upnp:class><upnp:albumArtURI dlna:profileID=\"JPEG_TN\">http://h/M/?cover="
                   "small</upnp:albumArtURI></container>");
    out.clear();
    dlna::didl_object(out, t, "http://h/r");
    EXPECT_EQ(out.find("albumArtURI"), std::string::npos);
    EXPECT_NE(dlna::didl_document("").find("xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\""),
              std::string::npos);
}

// A film with a subtitle beside it: a second res for most renderers and
// Samsung's caption element, both with the subtitle's own URL; the sec
// namespace is declared on the document.
TEST(DlnaDidl, FilmCarriesItsSubtitleTwice) {
    dlna::item v;
    v.path = "/F/Film.mkv";
    v.mime = "video/x-matroska";
    v.subtitle = "/F/Film.en.srt";
    v.subtitle_mime = "text/srt";
    std::string out;
    dlna::didl_object(out, v, "http://h/F/Film.mkv?stream=1", "http://h/F/Film.en.srt?c=1&d");
    EXPECT_EQ(out, "<item id=\"0/F/Film.mkv\" parentID=\"0/F\" restricted=\"1\">"
                   "<dc:title>Film.mkv</dc:title><upnp:class>object.item.videoItem</upnp:class>"
                   "<res protocolInfo=\"http-get:*:video/x-matroska:DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                   "DLNA.ORG_FLAGS=01700000000000000000000000000000\">"
                   "http://h/F/Film.mkv?stream=1</res>"
                   "<res protocolInfo=\"http-get:*:text/srt:*\">http://h/F/Film.en.srt?c=1&amp;d"
                   "</res><sec:CaptionInfoEx sec:type=\"srt\">http://h/F/Film.en.srt?c=1&amp;d"
                   "</sec:CaptionInfoEx></item>");
    v.subtitle_mime = "text/vtt";
    out.clear();
    dlna::didl_object(out, v, "u", "s");
    EXPECT_NE(out.find("<res protocolInfo=\"http-get:*:text/vtt:*\">s</res>"
                       "<sec:CaptionInfoEx sec:type=\"vtt\">s</sec:CaptionInfoEx></item>"),
              std::string::npos);
    out.clear();
    dlna::didl_object(out, v, "u"); // no URL: no subtitle
    EXPECT_EQ(out.find("CaptionInfoEx"), std::string::npos);
    EXPECT_EQ(dlna::didl_document("<x/>"),
              "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
              "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
              "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
              "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\" "
              "xmlns:sec=\"http://www.sec.co.kr/\"><x/></DIDL-Lite>");
}

TEST(DlnaSoap, BrowseArgumentsAreReadStrictly) {
    dlna::browse_request r;
    EXPECT_EQ(dlna::read_browse("0/Big", "BrowseDirectChildren", "100", "4294967295", r), 0);
    EXPECT_EQ(r.path, "/Big");
    EXPECT_EQ(r.start, 100u);
    EXPECT_EQ(r.count, 4294967295u);
    EXPECT_EQ(dlna::read_browse("0", "BrowseMetadata", nullptr, "", r), 0);
    EXPECT_TRUE(r.metadata);
    EXPECT_EQ(dlna::read_browse("0", "BrowseMetadata", "1", "0", r), dlna::invalid_args);
    EXPECT_EQ(dlna::read_browse("0", "browsemetadata", "0", "0", r), dlna::invalid_args);
    EXPECT_EQ(dlna::read_browse(nullptr, "BrowseMetadata", "0", "0", r), dlna::invalid_args);
    EXPECT_EQ(dlna::read_browse("0", "BrowseDirectChildren", "4294967296", "0", r),
              dlna::invalid_args);
    EXPECT_EQ(dlna::read_browse("0", "BrowseDirectChildren", "-1", "0", r), dlna::invalid_args);
    EXPECT_EQ(dlna::read_browse("0", "BrowseDirectChildren", "0", " 5", r), dlna::invalid_args);
    EXPECT_EQ(dlna::read_browse("/Big", "BrowseDirectChildren", "0", "0", r), dlna::no_such_object);
}

TEST(DlnaSoap, BodyGuardRefusesPastTheLimitAndAnyDoctype) {
    dlna::body_guard at, past, doctype, comment;
    std::string block(dlna::max_body - 1, 'x');
    EXPECT_TRUE(at.feed(block.data(), block.size()));
    EXPECT_TRUE(at.feed("y", 1));
    EXPECT_TRUE(past.feed(block.data(), block.size()));
    EXPECT_FALSE(past.feed("yz", 2));
    EXPECT_FALSE(past.feed("", 0)); // stays refused
    EXPECT_TRUE(doctype.feed("<?xml?><", 8));
    EXPECT_TRUE(doctype.feed("!", 1));
    EXPECT_FALSE(doctype.feed("doctype x [<!ENTITY a 'b'>]>", 27));
    EXPECT_TRUE(comment.feed("<!-- ok --><a/>", 15));
}

TEST(DlnaUuid, MadeOnceWithModeSixHundredThenKept) {
    char dir[] = "/tmp/dlna-uuid-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/dlna-uuid", a, b, error;
    ASSERT_TRUE(dlna::load_uuid(file, a, error)) << error;
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(a.size(), 36u);
    EXPECT_EQ(a[14], '4');
    ASSERT_TRUE(dlna::load_uuid(file, b, error));
    EXPECT_EQ(a, b);
    { std::ofstream(file) << "not-a-uuid\n"; }
    EXPECT_FALSE(dlna::load_uuid(file, b, error));
    EXPECT_EQ(error, "not a device UUID: " + file);
    unlink(file.c_str());
    rmdir(dir);
    // Without a file (the demo has no settings folder) nothing is written
    // into the working folder: each run has a UUID of its own.
    ASSERT_TRUE(dlna::load_uuid("", a, error));
    ASSERT_TRUE(dlna::load_uuid("", b, error));
    EXPECT_TRUE(dlna::uuid_well_formed(a) && dlna::uuid_well_formed(b) && a != b);
}

} // namespace
