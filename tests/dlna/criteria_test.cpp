// SortCriteria and SearchCriteria: the forms TVs send are read, anything
// else is refused with the UPnP code, and the bounds hold at the limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "criteria.h"

namespace {

dlna::item file(const std::string &path, const char *mime, int track = 0, const char *artist = "") {
    dlna::item it;
    it.path = path;
    it.mime = mime;
    it.track = track;
    it.artist = artist;
    return it;
}

dlna::item folder(const std::string &path) {
    dlna::item it;
    it.path = path;
    it.folder = true;
    return it;
}

std::vector<std::string> paths(const std::vector<dlna::item> &items) {
    std::vector<std::string> out;
    for (const auto &it : items)
        out.push_back(it.path);
    return out;
}

std::string repeat(const std::string &part, size_t n, const std::string &sep) {
    std::string out;
    for (size_t i = 0; i < n; i++)
        out += (i ? sep : "") + part;
    return out;
}

TEST(Criteria, SortReadsKeysAndRefusesTheRest) {
    std::vector<dlna::sort_key> keys;
    EXPECT_EQ(dlna::read_sort(nullptr, keys), 0);
    EXPECT_EQ(dlna::read_sort("  ", keys), 0);
    EXPECT_TRUE(keys.empty());
    ASSERT_EQ(dlna::read_sort("+dc:title, -dc:date ,upnp:originalTrackNumber", keys), 0);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_FALSE(keys[0].descending);
    EXPECT_TRUE(keys[1].descending);
    EXPECT_EQ(keys[2].prop, dlna::property::track);
    for (const char *bad : {"+upnp:genre", "+dc:title,", ",+dc:title", "+-dc:title", "*",
                            "+upnp:class", "+DC:TITLE"}) {
        EXPECT_EQ(dlna::read_sort(bad, keys), dlna::bad_sort_criteria) << bad;
        EXPECT_TRUE(keys.empty()) << bad; // not the keys read before the fault
    }
    EXPECT_EQ(dlna::read_sort(repeat("+upnp:album", 8, ",").c_str(), keys), 0);
    EXPECT_EQ(dlna::read_sort(repeat("+upnp:album", 9, ",").c_str(), keys),
              dlna::bad_sort_criteria);
    std::string at_limit = "+dc:title" + std::string(256 - 9, ' ');
    EXPECT_EQ(dlna::read_sort(at_limit.c_str(), keys), 0);
    EXPECT_EQ(dlna::read_sort((at_limit + " ").c_str(), keys), dlna::bad_sort_criteria);
}

TEST(Criteria, SortOrders) {
    std::vector<dlna::item> items = {file("/A/b.jpg", "image/jpeg"),
                                     file("/A/02.flac", "audio/flac", 2, "Zed"),
                                     folder("/A/zeta"),
                                     file("/A/01.flac", "audio/flac", 1, "abba"),
                                     folder("/A/Alpha"),
                                     file("/A/A.jpg", "image/jpeg")};
    dlna::sort_items(items, {});
    EXPECT_EQ(paths(items), (std::vector<std::string>{"/A/Alpha", "/A/zeta", "/A/01.flac",
                                                      "/A/02.flac", "/A/A.jpg", "/A/b.jpg"}));
    std::vector<dlna::sort_key> keys;
    ASSERT_EQ(dlna::read_sort("-dc:title", keys), 0);
    dlna::sort_items(items, keys);
    EXPECT_EQ(paths(items), (std::vector<std::string>{"/A/zeta", "/A/b.jpg", "/A/Alpha", "/A/A.jpg",
                                                      "/A/02.flac", "/A/01.flac"}));
    ASSERT_EQ(dlna::read_sort("+upnp:artist", keys), 0); // stable: no artist keeps its place
    dlna::sort_items(items, keys);
    EXPECT_EQ(paths(items), (std::vector<std::string>{"/A/zeta", "/A/b.jpg", "/A/Alpha", "/A/A.jpg",
                                                      "/A/01.flac", "/A/02.flac"}));
}

TEST(Criteria, SearchMatches) {
    dlna::item track = file("/M/x.flac", "audio/flac", 1, "The Artist");
    track.title = "Song & Dance";
    track.album = "Greatest";
    dlna::item film = file("/F/song.mp4", "video/mp4");
    const struct {
        const char *criteria;
        bool track, film, dir;
    } cases[] = {
        {"*", true, true, true},
        {"upnp:class derivedfrom \"object.item.audioItem\" and dc:title contains \"DANCE\"", true,
         false, false},
        {"upnp:class derivedfrom \"object.item\"", true, true, false},
        {"upnp:class derivedfrom \"object.item.audio\"", false, false, false},
        {"upnp:class = \"object.container.storageFolder\"", false, false, true},
        {"(dc:title contains \"song\" or upnp:artist = \"x\") and upnp:album exists false", false,
         true, false},
        {"upnp:artist doesNotContain \"artist\" and dc:title != \"Song\"", false, true, true},
        {"dc:title contains \"song\" or upnp:album = \"greatest\" and @refID exists true", true,
         true, false},
        {"@refID exists false and @id = \"0/F\"", false, false, true},
        {"dc:title = \"a\\\"b\\\\\"", false, false, false},
    };
    for (const auto &c : cases) {
        dlna::search_criteria s;
        ASSERT_EQ(dlna::read_search(c.criteria, s), 0) << c.criteria;
        EXPECT_EQ(s.matches(track), c.track) << c.criteria;
        EXPECT_EQ(s.matches(film), c.film) << c.criteria;
        EXPECT_EQ(s.matches(folder("/F")), c.dir) << c.criteria;
    }
    dlna::search_criteria s;
    ASSERT_EQ(dlna::read_search("upnp:class exists true and upnp:artist contains \"a\\\"\" or "
                                "dc:title contains \"b\"",
                                s),
              0);
    EXPECT_EQ(s.search_text(), "a\"");
    dlna::item quoted = film;
    quoted.title = "a\"b\\";
    ASSERT_EQ(dlna::read_search("dc:title = \"A\\\"B\\\\\"", s), 0);
    EXPECT_TRUE(s.matches(quoted));
    EXPECT_EQ(s.search_text(), "");
}

TEST(Criteria, SearchRefusesAndBounds) {
    dlna::search_criteria s;
    for (const char *bad :
         {"", "  ", "* and dc:title = \"a\"", "dc:title", "dc:title = a", "dc:title = \"a",
          "dc:title = \"a\\n\"", "dc:title < \"a\"", "upnp:genre = \"a\"", "dc:title exists yes",
          "dc:title=\"a\"", "(dc:title = \"a\"", "dc:title = \"a\")", "dc:title = \"a\" and",
          "dc:title = \"a\" xor dc:title = \"b\"", "dc:title = \"a\" anddc:title = \"b\""})
        EXPECT_EQ(dlna::read_search(bad, s), dlna::bad_search_criteria) << bad;
    EXPECT_EQ(dlna::read_search(nullptr, s), dlna::bad_search_criteria);
    const std::string term = "dc:title = \"a\"";
    EXPECT_EQ(dlna::read_search(repeat(term, 16, " or ").c_str(), s), 0);
    EXPECT_EQ(dlna::read_search(repeat(term, 17, " or ").c_str(), s), dlna::bad_search_criteria);
    EXPECT_EQ(dlna::read_search((std::string(8, '(') + term + std::string(8, ')')).c_str(), s), 0);
    EXPECT_EQ(dlna::read_search((std::string(9, '(') + term + std::string(9, ')')).c_str(), s),
              dlna::bad_search_criteria);
    std::string at_limit = "dc:title = \"" + std::string(1024 - 13, 'x') + "\"";
    EXPECT_EQ(dlna::read_search(at_limit.c_str(), s), 0);
    EXPECT_EQ(dlna::read_search((at_limit + " ").c_str(), s), dlna::bad_search_criteria);
}

} // namespace
