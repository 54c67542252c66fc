// A file's own page (see player.h).
#include "serve/player.h"

#include "output.h"
#include "serve/pages.h"

#include <string_view>

namespace cli {

namespace {

// One line of the facts table; nothing when the fact is unknown.
std::string fact(const char *label, const std::string &value) {
    return value.empty() ? std::string()
                         : std::string("<tr><th>") + label + "</th><td>" + html_escape(value) +
                               "</td></tr>\n";
}

std::string text(std::string_view s) {
    return printable(std::string(s));
}

// The media element: the bytes through the gateway's proxy, which passes
// the browser's Range on (seeking), under the page's own authorisation.
std::string player(const request &q, const folder_row &r, const std::vector<film_subtitle> &subs,
                   const std::string &folder) {
    std::string kind = r.media_type ? r.media_type : "";
    std::string src = html_escape(entry_href(q, q.path, false, "stream=1"));
    if (kind == "image")
        return "<p><img class=\"v\" src=\"" + src + "\" alt=\"" + html_escape(text(r.name)) +
               "\"></p>\n";
    if (kind == "audio")
        return "<p>" + cover_img(q, q.path, false, false) +
               "</p>\n<p><audio controls preload=\"metadata\" src=\"" + src + "\"></audio></p>\n";
    if (kind != "video")
        return std::string();
    // The frame's size, where the service told it, keeps the page from
    // jumping when the film's own arrives.
    std::string frame;
    if (r.width > 0 && r.height > 0)
        frame = " width=\"" + std::to_string(r.width) + "\" height=\"" + std::to_string(r.height) +
                "\"";
    std::string out = "<p><video controls preload=\"metadata\"" + frame + " poster=\"" +
                      html_escape(entry_href(q, q.path, false, "cover=medium")) + "\" src=\"" +
                      src + "\">";
    for (const film_subtitle &s : subs) {
        std::string name(s.name);
        out += "\n<track kind=\"subtitles\" src=\"" +
               html_escape(entry_href(q, folder + name, false, "vtt=1")) + "\"";
        if (!s.lang.empty())
            out += " srclang=\"" + html_escape(text(s.lang)) + "\"";
        out += " label=\"" + html_escape(text(name)) + "\"" + (s.chosen ? " default" : "") + ">";
    }
    return out + "</video></p>\n";
}

} // namespace

std::string file_page(const request &q, const folder_row &r,
                      const std::vector<film_subtitle> &subs) {
    size_t slash = q.path.rfind('/');
    std::string folder = q.path.substr(0, slash + 1), name = q.path.substr(slash + 1);
    std::string facts =
        fact("Size", r.size < 0 ? std::string() : human_size(r.size)) +
        fact("Duration", duration_text(r.duration_ms)) + fact("Artist", text(r.artist)) +
        fact("Title", text(r.title)) + fact("Album", text(r.album)) +
        fact("Track", r.track > 0 ? std::to_string(r.track) : std::string()) +
        fact("Year", r.year > 0 ? std::to_string(r.year) : std::string()) +
        fact("Resolution", r.width > 0 && r.height > 0
                               ? std::to_string(r.width) + "\u00d7" + std::to_string(r.height)
                               : std::string()) +
        fact("Type", text(r.mime)) + fact("Modified (UTC)", utc_minutes(r.mtime_ms));
    return page_start(name) + "<nav>" + breadcrumb(q, folder, true) + " / <span>" +
           html_escape(name) + "</span></nav>\n<h1>" + html_escape(name) + "</h1>\n" +
           player(q, r, subs, folder) + "<p><a href=\"" +
           html_escape(entry_href(q, q.path, false, "")) +
           "\" download>Download</a> &middot; <a href=\"" +
           html_escape(entry_href(q, folder.substr(0, folder.size() - 1), true, "")) +
           "\">Back to the folder</a></p>\n<table class=\"k\">\n<tbody>\n" + facts +
           "</tbody>\n</table>\n</body>\n</html>\n";
}

} // namespace cli
