// The gateway's HTML: a folder's page, a search's page, error pages and the
// small page of a redirect. Plain functions of what they show, so that
// each renders alone; every name and path in them is escaped.
#ifndef NIMBUS_TOOLS_SERVE_PAGES_H
#define NIMBUS_TOOLS_SERVE_PAGES_H

#include "serve/exchange.h"
#include "serve/listing.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// Rows on one HTML page; the filter and the paging links reach the rest.
constexpr size_t kPageRows = 500;
// A search page shows at most this many entries.
constexpr size_t kSearchRows = 500;

// The reason phrase of the statuses the gateway answers.
const char *reason(unsigned status);

// "" or LEAD "t=SECRET": what the gateway's own links carry when the
// request carried the secret as ?t=.
std::string token_query(const request &q, char lead);

// The start of every page: the head with its title and style, then the
// opening of its body.
std::string page_start(const std::string &title);

// The breadcrumb of a folder path ("/" or "/A/B/"): every part a link but,
// unless last_linked, the last.
std::string breadcrumb(const request &q, const std::string &folder, bool last_linked);

// The gateway URL of a drive path (a folder's with its final "/"), asking
// ASK ("view=1", "stream=1"; "" for nothing) and carrying the secret as the
// request did.
std::string entry_href(const request &q, const std::string &path, bool folder, const char *ask);

// An entry's cover as the gateway answers it: small (48 px, for a row) or
// medium (200 px, a page's own). Lazy, and without alternative text: where
// there is no cover the row keeps its place and shows nothing.
std::string cover_img(const request &q, const std::string &path, bool folder, bool small);

// What an error page says beyond its sentence.
struct error_info {
    std::string path;    // the drive path asked for ("" when none)
    std::string parent;  // nearest folder known to exist ("/" or "/A/"); "" for the root only
    std::string detail;  // the library's message: the service's code and request id
    bool signin = false; // the gateway is signed out: link its sign-in page
};

// A page of the gateway's own (not of the drive): head_extra goes into the
// head (a refresh), body is HTML already escaped.
std::string plain_page(const std::string &title, const std::string &head_extra,
                       const std::string &body);

// An error page: the sentence, the path, the way back, and the service's
// status, code and request id in small print (never its raw answer).
std::string error_page(unsigned status, const std::string &sentence, const error_info &info,
                       const request &q);

// A folder's page (q.path ends with "/"): the rows of page q.page of the
// entries whose names hold q.filter, folders first, then by name.
std::string folder_page(const request &q, const folder_listing &l);

// One entry the drive search found.
struct found_row {
    std::string name, path; // path "" when the answer did not tell it
    bool folder = false;
    bool media = false; // audio, video or a picture: its name leads to its page
    int64_t size = -1, mtime_ms = 0;
};

// What the drive search for q.search found; cut: there was more.
std::string search_page(const request &q, const std::vector<found_row> &rows, bool cut);

// The body of a 302 to location.
std::string redirect_page(const std::string &location);

} // namespace cli

#endif
