// Subtitle files beside films, as TVs look for them: a film's subtitle is a
// file of the same folder named after it ("Film.mkv": "Film.srt",
// "Film.en.srt", "Film.eng.vtt"; one optional language tag of two or three
// letters, the extension in any case). Found in the folder's listing the
// gateway already holds: no request to the service per film.
#ifndef NIMBUS_TOOLS_SERVE_SUBTITLES_H
#define NIMBUS_TOOLS_SERVE_SUBTITLES_H

#include "serve/listing.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cli {

// The type a subtitle file is served and offered as, by its name's
// extension: "text/srt", "text/vtt", or nullptr for no subtitle file.
const char *subtitle_type(std::string_view name);

// Whether a listing row is a film that may have a subtitle.
bool is_film(const folder_row &r);

// The subtitles of one listed folder, by the film name they belong to. Built
// in one pass over the listing (its rows' texts must outlive the index), so
// that a Browse page of a thousand films costs one pass, not one per film.
class subtitle_index {
  public:
    explicit subtitle_index(const folder_listing &l);
    // The name of the film's subtitle (a row of the listing), or empty for
    // none. One without a language tag is taken before tagged ones, and
    // among these the first in display order.
    std::string_view find(std::string_view film) const;

  private:
    struct pick {
        std::string_view name;
        bool tagged = true;
    };
    void offer(std::string_view stem, std::string_view name, bool tagged);
    std::unordered_map<std::string_view, pick> by_stem_;
};

// The one film's subtitle in the listing, without building an index.
std::string_view subtitle_for(const folder_listing &l, std::string_view film);

// A subtitle of one film: its row's name and its language tag ("en" of
// "Film.en.srt", "" when untagged). The one subtitle_index would pick is
// marked chosen: a player shows it unless told otherwise.
struct film_subtitle {
    std::string_view name, lang;
    bool chosen = false;
};

// Every subtitle of the film in the listing, in display order.
std::vector<film_subtitle> subtitles_of(const folder_listing &l, std::string_view film);

// Whether a getCaptionInfo.sec request header asks for the caption URL.
bool caption_asked(const char *value);

} // namespace cli

#endif
