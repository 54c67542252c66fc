// The gateway's HTML pages (see pages.h).
#include "serve/pages.h"

#include "output.h"
#include "serve/request.h"
#include "service_text.h"
#include "text.h"

#include <algorithm>
#include <string_view>

namespace cli {

namespace {

const char kHead[] = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                     "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";

const char kStyle[] =
    "<style>\n"
    "body{font:16px/1.45 system-ui,sans-serif;margin:0 auto;max-width:56rem;padding:.5rem 1rem;"
    "overflow-wrap:anywhere}\n"
    "nav{margin:.5rem 0}h1{font-size:1.4rem;margin:.5rem 0}\n"
    "table{border-collapse:collapse;width:100%;table-layout:fixed}th,td{padding:.45rem .4rem;"
    "text-align:left;border-bottom:1px solid #ddd}\n"
    "th:first-child{width:auto}.n{text-align:right;white-space:nowrap;color:#555;width:6rem}"
    ".d{width:10rem}a{color:#0645ad;text-decoration:none}\n"
    ".l{width:4.5rem}.m{width:14rem;color:#555}.c{float:left;margin-right:.6rem}"
    ".c+a{display:block;overflow:hidden}"
    ".a{float:right;max-width:40vw;height:auto;margin:0 0 .5rem 1rem}"
    ".v{display:block;max-width:100%;height:auto}\n"
    // A cover that is not there (the gateway answers 404): an empty tile,
    // not the browser's broken-image frame. Only a failed image has these.
    ".c,.a{position:relative}.c::after,.a::after{content:\"\";position:absolute;inset:0;"
    "background:#f2f2f2}\n"
    "video,audio{display:block;width:100%}video{height:auto;max-height:75vh;background:#000}"
    "p>.a{float:none;display:block;margin:0}"
    ".k th{width:9rem;color:#555;font-weight:normal}\n"
    ".p{margin:.6rem 0}.p a,.p span{margin-right:.8rem}.x{font-size:.8rem;color:#666}"
    "form{margin:.5rem 0}input[type=search]{max-width:60%}\n"
    "@media (max-width:36rem){.d{display:none}.n{width:4.5rem}}\n"
    // A phone: each row a block, the cover at its left, the name on a line
    // of its own and every other column below it in small print.
    "@media (max-width:480px){thead{display:none}table,tbody,td{display:block}"
    "tr{display:flow-root;padding:.4rem 0;border-bottom:1px solid #ddd}td{border:0;padding:0}"
    "td.n,td.m{display:inline-block;width:auto;text-align:left;white-space:normal;"
    "margin-right:.8rem;font-size:.85rem}td.d{display:inline-block}td:empty{display:none}"
    ".k th{display:block;width:auto;border:0;padding:.4rem 0 0}}\n"
    "</style>\n";

} // namespace

std::string breadcrumb(const request &q, const std::string &folder, bool last_linked) {
    std::string nav = "<a href=\"/" + token_query(q, '?') + "\">Drive</a>";
    size_t start = 1;
    while (start < folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos)
            end = folder.size();
        std::string prefix = folder.substr(0, end + 1);
        std::string part = folder.substr(start, end - start);
        if (end + 1 >= folder.size() && !last_linked)
            nav += " / <span>" + html_escape(part) + "</span>";
        else
            nav += " / <a href=\"" + html_escape(url_encode(prefix, true) + token_query(q, '?')) +
                   "\">" + html_escape(part) + "</a>";
        start = end + 1;
    }
    return nav;
}

std::string page_start(const std::string &title) {
    return std::string(kHead) + "<title>" + html_escape(title) + " - nimbus</title>\n" + kStyle +
           "</head>\n<body>\n";
}

std::string entry_href(const request &q, const std::string &path, bool folder, const char *ask) {
    std::string href = url_encode(path, true) + (folder ? "/" : "");
    return *ask ? href + "?" + ask + token_query(q, '&') : href + token_query(q, '?');
}

std::string cover_img(const request &q, const std::string &path, bool folder, bool small) {
    const char *size = small ? "48" : "200";
    return std::string("<img class=\"") + (small ? "c" : "a") + "\" src=\"" +
           html_escape(entry_href(q, path, folder, small ? "cover=small" : "cover=medium")) +
           "\" loading=\"lazy\" width=\"" + size + "\" height=\"" + size + "\" alt=\"\">";
}

namespace {

// The small print of an error page: the service's status, error code and
// request id, never the answer's raw JSON. A message without an answer in
// it (no connection, a settings fault) is shown as it is, cut to 300 bytes.
std::string detail_line(const std::string &message) {
    std::string detail = service_detail(message);
    if (!detail.empty())
        return detail;
    std::string m = printable(message);
    return m.size() > 300 ? m.substr(0, 300) + "..." : m;
}

// ASCII letters in any case; other bytes as they are.
bool name_holds(std::string_view name, const std::string &filter) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    return std::search(name.begin(), name.end(), filter.begin(), filter.end(),
                       [&lower](char a, char b) {
                           return lower(static_cast<unsigned char>(a)) ==
                                  lower(static_cast<unsigned char>(b));
                       }) != name.end();
}

// The page's own URL with another page number.
std::string page_href(const request &q, size_t page) {
    std::string href = url_encode(q.path, true) + "?page=" + std::to_string(page);
    if (!q.filter.empty())
        href += "&q=" + url_encode(q.filter, false);
    return href + token_query(q, '&');
}

// Whether a row has something for the media columns.
bool shows_media(const folder_row &r) {
    return r.media_type || r.duration_ms > 0 || !r.artist.empty() || !r.title.empty() ||
           r.width > 0 || r.year > 0;
}

// What a media row shows beside its duration: "Artist – Title", the frame
// size and the year, those it has.
std::string details_of(const folder_row &r) {
    std::string out = artist_title(r.artist, r.title);
    auto add = [&out](const std::string &part) { out += (out.empty() ? "" : " \u00b7 ") + part; };
    if (r.width > 0 && r.height > 0)
        add(std::to_string(r.width) + "\u00d7" + std::to_string(r.height));
    if (r.year > 0)
        add(std::to_string(r.year));
    return out;
}

// The search box: a plain GET form whose answer is search_page.
std::string search_form(const request &q, const std::string &text) {
    std::string form = "<form method=\"get\" action=\"/\"><input type=\"search\" "
                       "name=\"search\" placeholder=\"Search the drive\" value=\"" +
                       html_escape(text) + "\"> <button>Search</button>";
    if (!q.t.empty())
        form += "<input type=\"hidden\" name=\"t\" value=\"" + html_escape(q.t) + "\">";
    return form + "</form>\n";
}

} // namespace

const char *reason(unsigned status) {
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 421:
        return "Misdirected Request";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 507:
        return "Insufficient Storage";
    default:
        return "Internal Server Error";
    }
}

std::string token_query(const request &q, char lead) {
    return q.t.empty() ? std::string() : std::string(1, lead) + "t=" + url_encode(q.t, false);
}

std::string plain_page(const std::string &title, const std::string &head_extra,
                       const std::string &body) {
    return std::string(kHead) + head_extra + "<title>" + html_escape(title) +
           " - nimbus</title>\n" + kStyle + "</head>\n<body>\n" + body + "</body>\n</html>\n";
}

std::string error_page(unsigned status, const std::string &sentence, const error_info &info,
                       const request &q) {
    std::string title = std::to_string(status) + " " + reason(status);
    std::string body =
        "<nav>" + breadcrumb(q, "/", true) + "</nav>\n<h1>" + html_escape(sentence) + "</h1>\n";
    if (!info.path.empty())
        body += "<p>Path: <code>" + html_escape(info.path) + "</code></p>\n";
    body += "<p>";
    if (!info.parent.empty() && info.parent != "/")
        body += "<a href=\"" + html_escape(url_encode(info.parent, true) + token_query(q, '?')) +
                "\">Back to " + html_escape(info.parent) + "</a> &middot; ";
    if (info.signin)
        body +=
            "<a href=\"/.signin" + html_escape(token_query(q, '?')) + "\">Sign in</a> &middot; ";
    body += "<a href=\"/" + html_escape(token_query(q, '?')) + "\">Drive root</a></p>\n";
    if (!info.detail.empty())
        body += "<p class=\"x\">" + std::to_string(status) + " " + reason(status) + " &middot; " +
                html_escape(detail_line(info.detail)) + "</p>\n";
    return std::string(kHead) + "<title>" + title + " - nimbus</title>\n" + kStyle +
           "</head>\n<body>\n" + body + "</body>\n</html>\n";
}

std::string folder_page(const request &q, const folder_listing &l) {
    const std::string &folder = q.path; // ends with "/"
    std::string title = folder == "/" ? "Drive" : folder.substr(0, folder.size() - 1);
    title = title.substr(title.rfind('/') + 1);

    size_t folders = 0;
    for (size_t i = 0; i < l.size(); i++)
        folders += l.row(i).folder ? 1 : 0;
    size_t files = l.size() - folders;
    const std::vector<uint32_t> *shown_rows = &l.order();
    std::vector<uint32_t> matching;
    if (!q.filter.empty()) {
        for (uint32_t i : l.order())
            if (name_holds(l.row(i).name, q.filter))
                matching.push_back(i);
        shown_rows = &matching;
    }
    const std::vector<uint32_t> &order = *shown_rows;
    size_t shown = order.size();
    size_t pages = shown == 0 ? 1 : (shown + kPageRows - 1) / kPageRows;
    size_t page = std::min(std::max<size_t>(q.page, 1), pages);
    size_t from = (page - 1) * kPageRows, to = std::min(shown, from + kPageRows);

    // Media columns only where the page shows media: a folder of documents
    // keeps its three.
    bool media = false, album = false;
    for (size_t k = from; k < to; k++) {
        folder_row r = l.row(order[k]);
        media = media || shows_media(r);
        album = album || (r.media_type && std::string_view(r.media_type) == "audio");
    }
    std::string table;
    table.reserve((to - from) * 400);
    for (size_t k = from; k < to; k++) {
        folder_row r = l.row(order[k]);
        std::string name(r.name), path = folder + name;
        // A media file's name leads to its page, which plays it; any other
        // file's to its bytes. Folders and media files show their cover.
        const char *ask = !r.folder && r.media_type ? "view=1" : "";
        table += "<tr><td>" +
                 (r.folder || r.media_type ? cover_img(q, path, r.folder, true) : std::string()) +
                 "<a href=\"" + html_escape(entry_href(q, path, r.folder, ask)) + "\">" +
                 html_escape(name) + (r.folder ? "/" : "") + "</a></td>";
        if (media)
            table += "<td class=\"n l\">" + html_escape(duration_text(r.duration_ms)) +
                     "</td><td class=\"m\">" + html_escape(details_of(r)) + "</td>";
        table += "<td class=\"n\">" +
                 (r.folder ? std::string("") : html_escape(human_size(r.size))) +
                 "</td><td class=\"n d\">" + html_escape(utc_minutes(r.mtime_ms)) + "</td></tr>\n";
    }

    std::string counts = std::to_string(folders) + (folders == 1 ? " folder, " : " folders, ") +
                         std::to_string(files) + (files == 1 ? " file" : " files");
    std::string form;
    if (l.size() > kPageRows || !q.filter.empty()) {
        form = "<form method=\"get\" action=\"" + html_escape(url_encode(folder, true)) +
               "\"><input type=\"search\" name=\"q\" placeholder=\"Filter by name\" value=\"" +
               html_escape(q.filter) + "\"> <button>Filter</button>";
        if (!q.t.empty())
            form += "<input type=\"hidden\" name=\"t\" value=\"" + html_escape(q.t) + "\">";
        form += "</form>\n";
    }
    form += search_form(q, "");
    std::string paging;
    if (shown > kPageRows || !q.filter.empty()) {
        paging = "<p class=\"p\">";
        if (shown == 0)
            paging += "<span>No entries match</span>";
        else
            paging += "<span>" + std::to_string(from + 1) + "&ndash;" + std::to_string(to) +
                      " of " + std::to_string(shown) + (q.filter.empty() ? "" : " matching") +
                      "</span>";
        if (pages > 1) {
            auto link = [&](const char *label, size_t p, bool on) {
                return on ? "<a href=\"" + html_escape(page_href(q, p)) + "\">" + label + "</a>"
                          : "<span>" + std::string(label) + "</span>";
            };
            paging += link("First", 1, page > 1) + link("Previous", page - 1, page > 1) +
                      link("Next", page + 1, page < pages) + link("Last", pages, page < pages);
        }
        paging += "</p>\n";
    }

    std::string cover = album
                            ? cover_img(q, folder.substr(0, folder.size() - 1), true, false) + "\n"
                            : std::string();
    return page_start(title) + "<nav>" + breadcrumb(q, folder, false) + "</nav>\n" + cover +
           "<h1>" + html_escape(title) + "</h1>\n<p><a href=\"" +
           html_escape(url_encode(folder, true) + "?format=m3u" + token_query(q, '&')) +
           "\">Playlist (M3U)</a> &middot; <a href=\"" +
           html_escape(url_encode(folder, true) + "?format=m3u&recursive=1" + token_query(q, '&')) +
           "\">With subfolders (M3U)</a> &middot; " + counts + "</p>\n" + form + paging +
           "<table>\n<thead><tr><th>Name</th>" +
           (media ? "<th class=\"n l\">Length</th><th class=\"m\">Details</th>" : "") +
           "<th class=\"n\">Size</th><th class=\"n d\">Modified "
           "(UTC)</th></tr></thead>\n<tbody>\n" +
           table + "</tbody>\n</table>\n" + (to > from ? paging : std::string()) +
           "</body>\n</html>\n";
}

std::string search_page(const request &q, const std::vector<found_row> &rows, bool cut) {
    std::string table;
    for (const found_row &r : rows) {
        std::string shown = html_escape(r.path.empty() ? r.name : r.path) + (r.folder ? "/" : "");
        std::string cell = shown;
        if (!r.path.empty())
            cell = "<a href=\"" +
                   html_escape(entry_href(q, r.path, r.folder, r.media ? "view=1" : "")) + "\">" +
                   shown + "</a>";
        table += "<tr><td>" + cell + "</td><td class=\"n\">" +
                 (r.folder ? std::string("") : html_escape(human_size(r.size))) +
                 "</td><td class=\"n d\">" + html_escape(utc_minutes(r.mtime_ms)) + "</td></tr>\n";
    }
    std::string count =
        cut ? "Only the first " + std::to_string(kSearchRows) + " results are shown"
            : std::to_string(rows.size()) + (rows.size() == 1 ? " result" : " results");
    return std::string(kHead) + "<title>Search: " + html_escape(q.search) + " - nimbus</title>\n" +
           kStyle + "</head>\n<body>\n<nav>" + breadcrumb(q, q.path, true) +
           "</nav>\n<h1>Search: " + html_escape(q.search) + "</h1>\n" + search_form(q, q.search) +
           "<p>" + count +
           "</p>\n<table>\n<thead><tr><th>Name</th><th class=\"n\">Size</th>"
           "<th class=\"n d\">Modified (UTC)</th></tr></thead>\n<tbody>\n" +
           table + "</tbody>\n</table>\n</body>\n</html>\n";
}

std::string redirect_page(const std::string &location) {
    return std::string(kHead) + "<title>302 Found</title>\n</head>\n<body>\n<p><a href=\"" +
           html_escape(location) + "\">Found</a></p>\n</body>\n</html>\n";
}

} // namespace cli
