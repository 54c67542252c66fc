// A file's own page (PATH?view=1): the file played in the browser, with its
// facts, its cover, a download link and, for a film, its subtitles. Plain
// HTML5 media elements: the page plays without a script.
#ifndef NIMBUS_TOOLS_SERVE_PLAYER_H
#define NIMBUS_TOOLS_SERVE_PLAYER_H

#include "serve/exchange.h"
#include "serve/listing.h"
#include "serve/subtitles.h"

#include <string>
#include <vector>

namespace cli {

// The page of the file q.path, whose row of its folder's listing is r;
// subs are the subtitles beside it (subtitles_of). Audio gets an <audio>,
// video a <video> with a <track> per subtitle (as WebVTT, ?vtt=1), an image
// an <img>; each reads the file through the gateway (?stream=1).
std::string file_page(const request &q, const folder_row &r,
                      const std::vector<film_subtitle> &subs);

} // namespace cli

#endif
