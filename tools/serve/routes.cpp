// The gateway's routes (see routes.h).
#include "serve/routes.h"

#include "answers.h"
#include "output.h"
#include "serve/cover_fetch.h"
#include "serve/errors.h"
#include "serve/folders.h"
#include "serve/json_answer.h"
#include "serve/media.h"
#include "serve/media_types.h"
#include "serve/pages.h"
#include "serve/player.h"
#include "serve/playlists.h"
#include "serve/request.h"
#include "serve/signin.h"
#include "serve/small_fetch.h"
#include "serve/subtitles.h"
#include "serve/webvtt.h"
#include "text.h"

#include <nimbus.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli {

namespace {

// -- request checks ------------------------------------------------------------

const char *header(MHD_Connection *c, const char *name) {
    return MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
}

// The credential: the password of HTTP Basic authentication (any user name)
// or the t query parameter. A "+" in t is taken both ways: as a space (a
// client that encoded the secret's space) and as itself (a base64 secret
// pasted unescaped); both readings are always compared.
bool authorised(MHD_Connection *c, const gateway &g, request *q) {
    bool ok = false;
    const char *t = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "t");
    if (t) {
        std::string spaced, kept;
        bool as_space = decode_query(t, &spaced) && !spaced.empty() && same_secret(spaced, g.token);
        bool as_plus = decode_query(t, &kept, true) && !kept.empty() && same_secret(kept, g.token);
        if (as_space || as_plus) {
            q->t = g.token;
            ok = true;
        }
    }
    char *password = nullptr;
    char *user = MHD_basic_auth_get_username_password(c, &password);
    if (password && same_secret(password, g.token))
        ok = true;
    if (user)
        MHD_free(user);
    if (password) {
        explicit_bzero(password, std::strlen(password));
        MHD_free(password);
    }
    return ok;
}

// Counts c, stream, cover and any other parameter.
MHD_Result count_query(void *cls, MHD_ValueKind, const char *key, const char *) {
    auto *n = static_cast<unsigned *>(cls);
    const char *const known[] = {"c", "stream", "cover"};
    size_t i = 0;
    while (i < 3 && !(key && std::strcmp(key, known[i]) == 0))
        i++;
    n[i]++;
    return MHD_YES;
}

// A capability (?c=) opens the bytes of the one file it was made for and
// nothing else: GET or HEAD of exactly that path, one c and no parameter
// but stream, so no folder page, listing, playlist, search or other file.
// A cover's opens that file's or folder's cover (one c, one cover, nothing
// else) and not its bytes; a file's opens no cover.
bool capability_allows(MHD_Connection *c, const gateway &g, const char *url, const char *method) {
    const char *cap = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "c");
    if (!cap || !g.caps.enabled() ||
        (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0))
        return false;
    unsigned counts[4] = {0, 0, 0, 0}; // c, stream, cover, anything else
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, count_query, counts);
    std::string path;
    if (counts[0] != 1 || counts[3] != 0 || !decode_path(url, &path))
        return false;
    if (counts[2] == 1 && counts[1] == 0)
        return g.caps.allows(path, cap, std::time(nullptr), capability_scope::cover);
    return counts[2] == 0 && path.back() != '/' && g.caps.allows(path, cap, std::time(nullptr));
}

// -- folders ------------------------------------------------------------------

// A failed request for q.path as the client sees it; with LINK_PARENT, the
// page of a path that does not exist links the nearest folder that does.
// The library's message is taken first: nearest_parent's lookups replace it.
reply path_failure(gateway &g, const request &q, int rc, bool link_parent) {
    std::string message = nimbus_last_error();
    if (rc == NIMBUS_E_SIGNIN)
        g.signed_out = true;
    error_info where;
    where.path = q.path;
    if (link_parent && rc == NIMBUS_E_NOT_FOUND && !q.json_errors)
        where.parent = nearest_parent(g, q.path);
    return failure_reply(rc, message, q, where, g.ctx.paused_for());
}

reply refused_folder(gateway &g, const request &q, const std::string &folder) {
    std::string message = nimbus_last_error(); // before the lookup replaces it
    error_info where;
    where.path = q.path;
    if (!locked_folder(g, folder))
        return failure_reply(NIMBUS_E_AUTH, message, q, where, 0);
    where.detail = message;
    return error_reply(403,
                       q.json_errors ? message
                                     : "This folder is locked: unlock it (a Personal Vault) in "
                                       "OneDrive to see what it holds",
                       q.json_errors, where, &q);
}

// What the drive search found, at most kSearchRows entries.
reply search(gateway &g, const request &q) {
    struct found {
        std::vector<found_row> rows;
        bool cut = false;
        bool failed = false;
    } f;
    auto take = [](void *ctx, const nimbus_entry *e) -> int {
        auto &f = *static_cast<found *>(ctx);
        if (f.rows.size() == kSearchRows) {
            f.cut = true;
            return 1;
        }
        try {
            found_row r;
            r.name = e->name ? e->name : "";
            r.path = e->path ? e->path : "";
            r.folder = e->folder != 0;
            r.media = !r.folder && e->media_type;
            r.size = e->size;
            r.mtime_ms = e->mtime_ms;
            f.rows.push_back(std::move(r));
        } catch (...) {
            f.failed = true;
            return 1;
        }
        return 0;
    };
    int rc = nimbus_drive_search(g.ctx.drive(), q.search.c_str(), take, &f);
    if (f.failed)
        rc = NIMBUS_E_NOMEM;
    else if (f.cut)
        rc = NIMBUS_OK;
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, false);
    reply out;
    out.body = search_page(q, f.rows, f.cut);
    return out;
}

reply m3u(std::string body) {
    reply out;
    out.type = "audio/x-mpegurl";
    out.body = std::move(body);
    return out;
}

// The folder's media files by name.
reply playlist(const gateway &g, const request &q, const folder_listing &l,
               const std::string &host) {
    if (!host_header_ok(host))
        return error_reply(400, "the playlist needs a valid Host header", q.json_errors);
    return m3u(folder_playlist(l, q.path, host, g.caps, std::time(nullptr)));
}

// The folder and everything beneath it, media files by path; the walk
// stops after kMaxWalk entries and the playlist then says so.
reply walk(gateway &g, const request &q, const std::string &folder, const std::string &host) {
    if (!host_header_ok(host))
        return error_reply(400, "the playlist needs a valid Host header", q.json_errors);
    // The files' rows go into one listing under the budget, their paths beside.
    struct walked {
        explicit walked(listing_budget *budget) : files(budget) {}
        folder_listing files;
        std::vector<std::string> paths;
        size_t seen = 0;
        bool cut = false;
        int failed = 0;
    } w(&g.budget);
    auto take = [](void *ctx, const nimbus_entry *e) -> int {
        auto &w = *static_cast<walked *>(ctx);
        if (w.seen == kMaxWalk) {
            w.cut = true;
            return 1;
        }
        w.seen++;
        if (e->folder || !e->path || !e->name || !e->mime_type || !playable(e->mime_type))
            return 0;
        try {
            w.paths.emplace_back(e->path);
        } catch (...) {
            w.failed = NIMBUS_E_NOMEM;
            return 1;
        }
        if (!w.files.add(*e)) {
            w.failed = w.files.fault();
            return 1;
        }
        return 0;
    };
    int rc = nimbus_drive_walk(g.ctx.drive(), folder.c_str(), 0, take, &w);
    if (w.failed)
        rc = w.failed;
    else if (w.cut || rc == NIMBUS_E_PARTIAL)
        rc = NIMBUS_OK;
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, false);
    return m3u(walk_playlist(w.files, w.paths, w.cut, host, g.caps, std::time(nullptr)));
}

// A folder's path ("/A/B/") as the folder caches name it: "/A/B", the
// root "".
std::string folder_key(const std::string &path) {
    return path.size() > 1 ? path.substr(0, path.size() - 1) : std::string();
}

reply serve_folder(gateway &g, const request &q, const std::string &host) {
    std::string folder = folder_key(q.path);
    if (q.format == "m3u" && q.recursive)
        return walk(g, q, folder, host);
    if (!q.search.empty())
        return search(g, q);
    std::shared_ptr<const folder_listing> l;
    int rc = listing_of(g, folder, &l);
    if (rc == NIMBUS_E_NOT_FOLDER) {
        // A file named with a final "/": send the player to the file.
        reply r;
        r.status = 302;
        r.headers.emplace_back("Location", url_encode(folder, true) + token_query(q, '?'));
        return r;
    }
    if (rc == NIMBUS_E_AUTH && !folder.empty())
        return refused_folder(g, q, folder);
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, true);
    if (q.format == "json") {
        reply r;
        r.type = "application/json";
        r.stream = json_answer(folder, l, wants_metadata(g.ctx.settings()));
        return r.stream ? r : error_reply(500, "out of memory", true);
    }
    if (q.format == "m3u")
        return playlist(g, q, *l, host);
    reply page;
    page.body = folder_page(q, *l);
    return page;
}

// -- files --------------------------------------------------------------------

bool location_ok(const std::string &url) {
    if (url.compare(0, 8, "https://") != 0 && url.compare(0, 7, "http://") != 0)
        return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f)
            return false;
    return true;
}

// Samsung TVs ask a film's own URL for its subtitle (getCaptionInfo.sec:
// 1) and read the answer's CaptionInfo.sec: the subtitle's URL on the host
// the TV reached us by, with a capability of its own. The folder's listing
// is the kept one, or one listing through the folder cache: never a
// request per film. "" when not asked or there is none.
std::string caption_url(gateway &g, MHD_Connection *c, const request &q, const file_facts &facts) {
    const char *host = header(c, MHD_HTTP_HEADER_HOST);
    if (!caption_asked(header(c, "getCaptionInfo.sec")) || !host || !host_header_ok(host) ||
        facts.type.compare(0, 6, "video/") != 0)
        return std::string();
    size_t slash = q.path.rfind('/');
    std::string folder = q.path.substr(0, slash);
    std::shared_ptr<const folder_listing> l;
    if (listing_of(g, folder, &l) != NIMBUS_OK)
        return std::string();
    std::string_view name = subtitle_for(*l, std::string_view(q.path).substr(slash + 1));
    if (name.empty())
        return std::string();
    std::string path = folder + "/" + std::string(name);
    std::string url = "http://" + std::string(host) + url_encode(path, true) + "?stream=1";
    std::string cap = g.caps.suffix(path, std::time(nullptr));
    if (!cap.empty())
        url += "&" + cap;
    return url;
}

// The file's answer with the caption URL when it found one.
reply with_caption(reply r, std::string caption) {
    if (caption.empty() || r.status >= 400)
        return r;
    try {
        r.headers.emplace_back("CaptionInfo.sec", std::move(caption));
    } catch (...) {
        if (r.stream)
            MHD_destroy_response(r.stream); // its stream ends with it
        throw;
    }
    return r;
}

reply redirect(const std::string &location) {
    reply r;
    r.status = 302;
    r.headers.emplace_back("Location", location);
    r.body = redirect_page(location);
    return r;
}

// The file's bytes through the gateway, the client's Range passed on. A
// kept download URL the service refuses (it expired) is looked up again once.
reply stream_file(gateway &g, const request &q, MHD_Connection *c, const std::string &url,
                  const file_facts &facts, bool kept) {
    std::vector<std::pair<std::string, std::string>> extra;
    add_media_headers(c, q.path, facts, &extra);
    const char *range = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_RANGE);
    proxy_answer a = g.streams.open(c, url, range);
    if (a.refused && kept) {
        g.locators.forget(q.path);
        item_look k;
        if (nimbus_drive_item(g.ctx.drive(), q.path.c_str(), look_item, &k) == NIMBUS_OK &&
            !k.folder && location_ok(k.url)) {
            g.locators.store(q.path, k.url, k.facts);
            a = g.streams.open(c, k.url, range);
        }
    }
    if (a.status == 0) {
        reply r = error_reply(a.busy ? 503 : 502,
                              a.busy ? "The gateway streams too many files; try again in a moment"
                                     : "The file could not be fetched: " + a.error,
                              q.json_errors);
        if (a.busy)
            r.headers.emplace_back("Retry-After", "5");
        return r;
    }
    reply r;
    r.status = a.status;
    // Subtitles by their extension: the service types them text/plain or
    // not at all, and TVs take a subtitle only by its own type.
    const char *subtitle = subtitle_type(q.path);
    r.type = subtitle ? subtitle : served_type(facts.type);
    try {
        r.headers = std::move(a.headers);
        r.headers.insert(r.headers.end(), extra.begin(), extra.end());
        if (r.type == kUnknownMediaType) // bytes to keep, never a page to show
            r.headers.emplace_back("Content-Disposition", "attachment");
    } catch (...) {
        MHD_destroy_response(a.response); // its stream ends with it
        throw;
    }
    r.stream = a.response;
    return r;
}

reply serve_file(gateway &g, const request &q, MHD_Connection *c) {
    std::string url;
    file_facts facts;
    if (g.locators.find(q.path, &url, &facts)) {
        std::string caption = caption_url(g, c, q, facts);
        return with_caption(q.stream ? stream_file(g, q, c, url, facts, true) : redirect(url),
                            std::move(caption));
    }
    item_look k;
    int rc = nimbus_drive_item(g.ctx.drive(), q.path.c_str(), look_item, &k);
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, true);
    if (k.folder) {
        // A folder named without its final "/": send the player to its page.
        std::string to = url_encode(q.path, true) + "/";
        if (!q.format.empty())
            to += "?format=" + q.format + token_query(q, '&');
        else
            to += token_query(q, '?');
        return redirect(to);
    }
    if (k.url_too_long)
        return error_reply(502,
                           "the service gave a download URL longer than " +
                               std::to_string(kMaxLocator) + " bytes",
                           q.json_errors);
    if (!location_ok(k.url))
        return error_reply(502, "the service gave no usable download URL", q.json_errors);
    g.locators.store(q.path, k.url, k.facts);
    std::string caption = caption_url(g, c, q, k.facts);
    return with_caption(q.stream ? stream_file(g, q, c, k.url, k.facts, false) : redirect(k.url),
                        std::move(caption));
}

// The file's page, from its folder's listing (kept, or listed once): the
// row gives its facts and the rows beside it its subtitles.
reply view_file(gateway &g, const request &q) {
    size_t slash = q.path.rfind('/');
    std::string folder = q.path.substr(0, slash);
    std::string_view name = std::string_view(q.path).substr(slash + 1);
    std::shared_ptr<const folder_listing> l;
    int rc = listing_of(g, folder, &l);
    if (rc != NIMBUS_OK)
        return path_failure(g, q, rc, true);
    for (uint32_t k : l->order()) {
        folder_row r = l->row(k);
        if (r.name != name)
            continue;
        if (r.folder)
            return redirect(url_encode(q.path, true) + "/" + token_query(q, '?'));
        reply page;
        page.body =
            file_page(q, r, is_film(r) ? subtitles_of(*l, name) : std::vector<film_subtitle>());
        return page;
    }
    error_info where;
    where.path = q.path;
    where.parent = folder + "/";
    return error_reply(404, "This file does not exist", q.json_errors, where, &q);
}

// A subtitle file as WebVTT, for a <track>: fetched whole (it is converted
// before a byte is answered), within kMaxSubtitleBytes. A kept download URL
// the service refuses (it expired) is looked up again once.
reply subtitle_vtt(gateway &g, const request &q) {
    const char *type = subtitle_type(q.path);
    if (!type)
        return error_reply(400, "only .srt and .vtt files are answered as WebVTT", q.json_errors);
    std::string url;
    file_facts facts;
    bool kept = g.locators.find(q.path, &url, &facts);
    for (int round = 0; round < 2; round++) {
        if (!kept) {
            item_look k;
            int rc = nimbus_drive_item(g.ctx.drive(), q.path.c_str(), look_item, &k);
            if (rc != NIMBUS_OK)
                return path_failure(g, q, rc, true);
            if (k.folder || !location_ok(k.url))
                return error_reply(502, "the service gave no usable download URL", q.json_errors);
            url = k.url;
            facts = k.facts;
            g.locators.store(q.path, url, facts);
        }
        if (facts.size > static_cast<int64_t>(kMaxSubtitleBytes))
            break;
        small_fetch got =
            fetch_small(url, kMaxSubtitleBytes, g.streams.cacert(), g.streams.connect_to());
        bool expired =
            got.status == 401 || got.status == 403 || got.status == 404 || got.status == 410;
        if (kept && expired) {
            g.locators.forget(q.path);
            kept = false;
            continue;
        }
        if (got.too_large)
            break;
        if (!got.ok())
            return error_reply(502, "The subtitle could not be fetched: " + got.error,
                               q.json_errors);
        reply r;
        r.type = "text/vtt; charset=utf-8";
        vtt_fault f = webvtt_of(got.body, std::strcmp(type, "text/vtt") == 0, &r.body);
        if (f == vtt_fault::none)
            return r;
        return error_reply(502,
                           f == vtt_fault::too_large  ? "The subtitle is too large as WebVTT"
                           : f == vtt_fault::not_utf8 ? "The subtitle is not UTF-8 text"
                                                      : "The subtitle is not a WebVTT file",
                           q.json_errors);
    }
    return error_reply(
        502, "The subtitle is larger than " + std::to_string(kMaxSubtitleBytes >> 20) + " MiB",
        q.json_errors);
}

} // namespace

bool answers_at_once(gateway &g, MHD_Connection *c, const char *url) {
    auto arg = [c](const char *name) {
        return MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name);
    };
    std::string path;
    if (!g.ctx.drive() || arg("search") || arg("cover") || arg("recursive") ||
        !decode_path(url, &path) || path.back() != '/')
        return false;
    return listing_at_hand(g, folder_key(path));
}

reply handle(gateway &g, MHD_Connection *c, const char *url, const char *method) {
    request q;
    q.method = method;
    const char *format = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "format");
    if (format && (std::strcmp(format, "json") == 0 || std::strcmp(format, "m3u") == 0))
        q.format = format;
    q.json_errors = q.format == "json";

    const char *host = header(c, MHD_HTTP_HEADER_HOST);
    if (g.loopback && !loopback_host(host, g.port))
        return error_reply(421, "this gateway answers only to its loopback address", q.json_errors);
    // The sign-in page takes the secret itself, never a file's capability.
    bool signin = std::strcmp(url, kSigninPath) == 0;
    bool allowed = g.token.empty() || authorised(c, g, &q);
    if (!allowed && (signin || !capability_allows(c, g, url, method))) {
        reply r = error_reply(401, "this gateway needs its access token", q.json_errors);
        r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"nimbus\", charset=\"UTF-8\"");
        return r;
    }
    if (signin)
        return signin_reply(
            g.signin, q, method, MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "csrf"),
            header(c, "Origin"), header(c, "Sec-Fetch-Site"), host, g.ctx.drive() && !g.signed_out);
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        reply r = error_reply(405, "only GET and HEAD are served", q.json_errors);
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    if (format && q.format.empty())
        return error_reply(400, "format must be json or m3u", q.json_errors);
    if (const char *filter = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "q")) {
        if (!decode_query(filter, &q.filter) || q.filter.size() > 256)
            return error_reply(400, "the filter is not valid text of at most 256 bytes",
                               q.json_errors);
    }
    if (const char *rec = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "recursive")) {
        if (std::strcmp(rec, "0") != 0 && std::strcmp(rec, "1") != 0)
            return error_reply(400, "recursive must be 0 or 1", q.json_errors);
        q.recursive = rec[0] == '1';
    }
    if (const char *text = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "search")) {
        if (!decode_query(text, &q.search) || q.search.empty() || q.search.size() > 1024 ||
            has_control(q.search))
            return error_reply(400, "the search is not valid text of 1 to 1024 bytes",
                               q.json_errors);
        if (!q.format.empty())
            return error_reply(400, "a search answers an HTML page only", q.json_errors);
    }
    if (const char *stream = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "stream")) {
        if (std::strcmp(stream, "0") != 0 && std::strcmp(stream, "1") != 0)
            return error_reply(400, "stream must be 0 or 1", q.json_errors);
        q.stream = stream[0] == '1';
    }
    const char *view = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "view");
    const char *vtt = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "vtt");
    for (auto flag : {std::make_pair(view, &q.view), std::make_pair(vtt, &q.vtt)}) {
        const char *v = flag.first;
        if (v && std::strcmp(v, "0") != 0 && std::strcmp(v, "1") != 0)
            return error_reply(400, v == view ? "view must be 0 or 1" : "vtt must be 0 or 1",
                               q.json_errors);
        *flag.second = v && v[0] == '1';
    }
    if (const char *page = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "page")) {
        if (!page_number(page, &q.page))
            return error_reply(400, "page must be a number from 1", q.json_errors);
    }
    if (!decode_path(url, &q.path)) {
        error_info info;
        info.path = printable(url);
        return error_reply(400, "This is not a valid drive path", q.json_errors, info, &q);
    }
    if (!g.ctx.drive()) { // started signed out: the sign-in page is the way in
        error_info where;
        where.path = q.path;
        return failure_reply(NIMBUS_E_SIGNIN, "not signed in", q, where, 0);
    }
    if (const char *cover = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "cover")) {
        if (!cover_size_ok(cover))
            return error_reply(400, "cover must be small or medium", q.json_errors);
        return serve_cover(g, q, cover);
    }
    if (q.path.back() == '/')
        return serve_folder(g, q, host ? host : "");
    if (q.view)
        return view_file(g, q);
    if (q.vtt)
        return subtitle_vtt(g, q);
    return serve_file(g, q, c);
}

} // namespace cli
