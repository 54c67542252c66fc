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
    ".p{margin:.6rem 0}.p a,.p span{margin-right:.8rem}.x{font-size:.8rem;color:#666}"
    "form{margin:.5rem 0}input[type=search]{max-width:60%}\n"
    "@media (max-width:36rem){.d{display:none}.n{width:4.5rem}}\n"
    "</style>\n";

// The breadcrumb of a folder path ("/" or "/A/B/"): every part but the last
// is a link.
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

    std::string table;
    table.reserve((to - from) * 200);
    for (size_t k = from; k < to; k++) {
        folder_row r = l.row(order[k]);
        std::string name(r.name);
        std::string href =
            url_encode(folder + name, true) + (r.folder ? "/" : "") + token_query(q, '?');
        table += "<tr><td><a href=\"" + html_escape(href) + "\">" + html_escape(name) +
                 (r.folder ? "/" : "") + "</a></td><td class=\"n\">" +
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

    return std::string(kHead) + "<title>" + html_escape(title) + " - nimbus</title>\n" + kStyle +
           "</head>\n<body>\n<nav>" + breadcrumb(q, folder, false) + "</nav>\n<h1>" +
           html_escape(title) + "</h1>\n<p><a href=\"" +
           html_escape(url_encode(folder, true) + "?format=m3u" + token_query(q, '&')) +
           "\">Playlist (M3U)</a> &middot; <a href=\"" +
           html_escape(url_encode(folder, true) + "?format=m3u&recursive=1" + token_query(q, '&')) +
           "\">With subfolders (M3U)</a> &middot; " + counts + "</p>\n" + form + paging +
           "<table>\n<thead><tr><th>Name</th><th class=\"n\">Size</th>"
           "<th class=\"n d\">Modified (UTC)</th></tr></thead>\n<tbody>\n" +
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
                   html_escape(url_encode(r.path, true) + (r.folder ? "/" : "") +
                               token_query(q, '?')) +
                   "\">" + shown + "</a>";
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
