// What one request to the gateway asked for, once it passed the checks,
// and the answer made for it: the pieces every part of the gateway passes
// around (routes make them, pages and playlists render from them, the
// listener sends them).
#ifndef NIMBUS_TOOLS_SERVE_EXCHANGE_H
#define NIMBUS_TOOLS_SERVE_EXCHANGE_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct MHD_Response;

namespace cli {

struct request {
    const char *method = "";
    std::string path;       // decoded, "/" or "/A/B" or "/A/B/"
    std::string format;     // "", "json" or "m3u"
    std::string t;          // the token when the request carried it as ?t=
    std::string filter;     // ?q=: names holding this text (ASCII letters in any case)
    size_t page = 1;        // ?page=: 1 for the first kPageRows rows
    bool recursive = false; // ?recursive=1: the playlist walks the subfolders too
    std::string search;     // ?search=: a page of the drive search's answer
    bool stream = false;    // ?stream=1: a file's bytes through the gateway, not a 302
    bool view = false;      // ?view=1: the file's own page, which plays it
    bool vtt = false;       // ?vtt=1: a subtitle file as WebVTT
    bool json_errors = false;
};

struct reply {
    unsigned status = 200;
    std::string type = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    MHD_Response *stream = nullptr; // the file's bytes, instead of the body
};

} // namespace cli

#endif
