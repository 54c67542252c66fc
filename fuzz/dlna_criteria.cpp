// What TVs send as SortCriteria and SearchCriteria: either reader takes any
// bytes without harm, holds its bounds, and what it accepts behaves: a sort
// is a stable permutation (sorting again changes nothing), a refused search
// matches nothing, and the drive search's text is one of the criteria's own
// strings.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../tools/dlna/criteria.h"
#include "fuzz_check.h"

namespace {

std::vector<dlna::item> sample() {
    std::vector<dlna::item> items(6);
    const char *paths[] = {"/a/Zed", "/a/01.flac", "/a/b.jpg", "/a/02.flac", "/a/film.mkv", "/a/x"};
    const char *mimes[] = {"", "audio/flac", "image/jpeg", "audio/flac", "video/x-matroska", ""};
    for (size_t i = 0; i < items.size(); i++) {
        items[i].path = paths[i];
        items[i].mime = mimes[i];
        items[i].folder = !*mimes[i];
        items[i].track = static_cast<int>(i % 3);
        items[i].year = static_cast<int>(2000 + i % 2);
        items[i].artist = i % 2 ? "Artist" : "";
        items[i].album = i % 3 ? "Album" : "";
    }
    return items;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    const char *text = input.c_str(); // SOAP arguments are C strings
    size_t len = std::strlen(text);
    std::vector<dlna::item> items = sample();

    std::vector<dlna::sort_key> keys;
    int rc = dlna::read_sort(text, keys);
    CHECK(rc == 0 || rc == dlna::bad_sort_criteria);
    if (rc == 0) {
        CHECK(len <= dlna::max_sort_bytes && keys.size() <= dlna::max_sort_keys);
        std::vector<dlna::item> once = items;
        dlna::sort_items(once, keys);
        CHECK(once.size() == items.size());
        std::vector<dlna::item> twice = once;
        dlna::sort_items(twice, keys);
        for (size_t i = 0; i < once.size(); i++)
            CHECK(once[i].path == twice[i].path);
    } else {
        CHECK(keys.empty());
    }

    dlna::search_criteria s;
    rc = dlna::read_search(text, s);
    CHECK(rc == 0 || rc == dlna::bad_search_criteria);
    if (rc == 0) {
        CHECK(len <= dlna::max_search_bytes);
        CHECK(s.search_text().size() < len);
    } else {
        CHECK(s.search_text().empty());
    }
    for (const dlna::item &it : items)
        CHECK(rc == 0 || !s.matches(it));
    return 0;
}
