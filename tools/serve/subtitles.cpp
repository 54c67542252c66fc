// Subtitle files beside films (see subtitles.h).
#include "serve/subtitles.h"

namespace cli {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(std::string_view a, const char *b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; i++)
        if (lower(a[i]) != b[i])
            return false;
    return i == a.size() && !b[i];
}

bool letters(std::string_view s) {
    for (char c : s)
        if (lower(c) < 'a' || lower(c) > 'z')
            return false;
    return true;
}

// The name without its last extension ("Film" for "Film.mkv"); the whole
// name when it has none or is all extension (".mkv").
std::string_view stem_of(std::string_view name) {
    size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

} // namespace

const char *subtitle_type(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return nullptr;
    std::string_view ext = name.substr(dot + 1);
    if (same_ignoring_case(ext, "srt"))
        return "text/srt";
    if (same_ignoring_case(ext, "vtt"))
        return "text/vtt";
    return nullptr;
}

bool is_film(const folder_row &r) {
    return !r.folder && r.mime.compare(0, 6, "video/") == 0;
}

void subtitle_index::offer(std::string_view stem, std::string_view name, bool tagged) {
    if (stem.empty())
        return;
    auto at = by_stem_.find(stem);
    if (at == by_stem_.end())
        by_stem_.emplace(stem, pick{name, tagged});
    else if (at->second.tagged && !tagged)
        at->second = pick{name, tagged};
}

subtitle_index::subtitle_index(const folder_listing &l) {
    for (uint32_t k : l.order()) {
        folder_row r = l.row(k);
        if (r.folder || !subtitle_type(r.name))
            continue;
        // "Film.en.srt" belongs to "Film" (tagged) and, as well, to a film
        // whose own stem is "Film.en".
        std::string_view stem = stem_of(r.name);
        offer(stem, r.name, false);
        size_t dot = stem.rfind('.');
        if (dot != std::string_view::npos && dot > 0) {
            std::string_view tag = stem.substr(dot + 1);
            if (tag.size() >= 2 && tag.size() <= 3 && letters(tag))
                offer(stem.substr(0, dot), r.name, true);
        }
    }
}

std::string_view subtitle_index::find(std::string_view film) const {
    std::string_view stem = stem_of(film);
    if (stem.size() == film.size()) // a film is named with its extension
        return {};
    auto at = by_stem_.find(stem);
    return at == by_stem_.end() ? std::string_view() : at->second.name;
}

std::string_view subtitle_for(const folder_listing &l, std::string_view film) {
    return subtitle_index(l).find(film);
}

std::vector<film_subtitle> subtitles_of(const folder_listing &l, std::string_view film) {
    std::vector<film_subtitle> out;
    std::string_view stem = stem_of(film);
    if (stem.size() == film.size())
        return out;
    film_subtitle *untagged = nullptr;
    for (uint32_t k : l.order()) {
        folder_row r = l.row(k);
        if (r.folder || !subtitle_type(r.name))
            continue;
        std::string_view own = stem_of(r.name), tag;
        size_t dot = own.rfind('.');
        if (own != stem) {
            if (dot == std::string_view::npos || own.substr(0, dot) != stem)
                continue;
            tag = own.substr(dot + 1);
            if (tag.size() < 2 || tag.size() > 3 || !letters(tag))
                continue;
        }
        out.push_back(film_subtitle{r.name, tag, false});
    }
    for (film_subtitle &s : out)
        if (s.lang.empty() && !untagged)
            untagged = &s;
    if (!out.empty())
        (untagged ? untagged : &out.front())->chosen = true;
    return out;
}

bool caption_asked(const char *value) {
    return value && value[0] == '1' && value[1] == '\0';
}

} // namespace cli
