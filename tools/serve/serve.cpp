// `nimbus serve`: libmicrohttpd with its own thread pool in front of the
// library. Every request is answered on the pool thread that parsed it: a
// folder becomes an HTML page, the library's JSON or an M3U playlist; a file
// becomes a redirect to its pre-authorised download URL, which the player
// then fetches (with Range requests) straight from the service.
#include "serve/serve.h"
#include "text.h"

#include "context.h"
#include "json_doc.h"
#include "output.h"
#include "serve/request.h"

#include <microhttpd.h>
#include <nimbus.h>
#include <yyjson.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace cli {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr size_t kMaxToken = 4096;                      // bytes of the --auth-token-file secret
constexpr size_t kMinToken = 16;                        // a guessable secret protects nothing
constexpr auto kLocatorLife = std::chrono::minutes(10); // download URLs live about an hour
constexpr size_t kLocatorEntries = 4096;
constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kPerAddressLimit = 32; // only on listeners reachable from other hosts
constexpr unsigned kIdleSeconds = 30;
constexpr size_t kConnectionMemory = 32 * 1024; // request line and headers must fit
constexpr int kRetryAfterSeconds = 10;          // when the service named no pause
// How long a stop lets the transfers under way finish before cutting them.
constexpr auto kStopGrace = std::chrono::seconds(3);
// A folder page or playlist lists at most this many entries: enough for any
// album or photo folder, and a hostile drive's 100 000-entry folder cannot
// make one request build a page of a hundred megabytes.
constexpr size_t kMaxRows = 5000;
// The service's pre-authenticated download URLs are one or two KiB; a longer
// one is not cached or handed to a player (4096 cached at 8 KiB: 32 MiB).
constexpr size_t kMaxLocator = 8192;

// What the playlist holds: audio and video files, by extension.
const char *const kMediaExtensions[] = {
    "aac", "aif", "aiff", "alac", "ape", "avi",  "dsf", "flac", "m2ts", "m4a", "m4b",
    "m4v", "mka", "mkv",  "mov",  "mp2", "mp3",  "mp4", "mpc",  "mpeg", "mpg", "oga",
    "ogg", "ogv", "opus", "ts",   "wav", "webm", "wma", "wmv",  "wv",   "3gp", "flv"};

// -- small text helpers --------------------------------------------------------

bool ends_with_media_extension(const std::string &name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size())
        return false;
    std::string ext = name.substr(dot + 1);
    for (char &c : ext)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    for (const char *known : kMediaExtensions)
        if (ext == known)
            return true;
    return false;
}

// -- listen address and secret ---------------------------------------------------

struct listen_address {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    bool is_v6 = false;
    bool loopback = false;
    std::string host; // as written in URLs: "127.0.0.1" or "[::1]"
};

bool parse_listen(const std::string &text, listen_address *out, std::string *error) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *error = "--listen wants ADDR:PORT or [IPv6]:PORT, not " + text;
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            *error = "--listen wants ADDR:PORT or [IPv6]:PORT, not " + text;
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host == "localhost")
        host = "127.0.0.1";
    char *end = nullptr;
    errno = 0;
    long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || errno || p < 0 || p > 65535) {
        *error = "--listen wants a port from 0 to 65535, not " + port;
        return false;
    }
    if (inet_pton(AF_INET, host.c_str(), &out->v4.sin_addr) == 1) {
        out->v4.sin_family = AF_INET;
        out->v4.sin_port = htons(static_cast<uint16_t>(p));
        out->loopback = (ntohl(out->v4.sin_addr.s_addr) >> 24) == 127;
        out->host = host;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &out->v6.sin6_addr) == 1) {
        out->is_v6 = true;
        out->v6.sin6_family = AF_INET6;
        out->v6.sin6_port = htons(static_cast<uint16_t>(p));
        out->loopback = IN6_IS_ADDR_LOOPBACK(&out->v6.sin6_addr);
        out->host = "[" + host + "]";
        return true;
    }
    *error = "--listen wants a numeric IPv4 or IPv6 address (or localhost), not " + host;
    return false;
}

// The secret of --auth-token-file: a regular file only its owner may read,
// its first line without surrounding blanks.
bool read_token_file(const std::string &path, std::string *token, std::string *error) {
    std::string text;
    // Room for blanks around the longest secret; a first line that does not
    // end within it is too long.
    const size_t room = 2 * kMaxToken;
    if (!read_private_file(path, "token file", "the gateway's secret", room, &text, error))
        return false;
    size_t eol = text.find('\n');
    if (eol == std::string::npos && text.size() == room) {
        *error = "the token in " + path + " is longer than 4096 bytes";
        return false;
    }
    if (eol != std::string::npos)
        text.resize(eol);
    size_t b = text.find_first_not_of(" \t\r");
    size_t e = text.find_last_not_of(" \t\r");
    text = b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
    if (text.size() > kMaxToken) {
        *error = "the token in " + path + " is longer than 4096 bytes";
        return false;
    }
    if (has_control(text)) {
        *error = "the token in " + path + " holds control characters";
        return false;
    }
    if (text.size() < kMinToken) {
        *error = "the token in " + path + " is shorter than 16 characters";
        return false;
    }
    *token = text;
    return true;
}

// -- locator cache ---------------------------------------------------------------

// Download URLs by drive path, each kept 10 minutes, so a player that opens a
// file again and again (seeking, probing) costs one Graph request.
class locator_cache {
  public:
    bool find(const std::string &path, std::string *url) {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = map_.find(path);
        if (it == map_.end())
            return false;
        if (clock_type::now() - it->second.born >= kLocatorLife) {
            map_.erase(it);
            return false;
        }
        *url = it->second.url;
        return true;
    }

    void store(const std::string &path, const std::string &url) {
        std::lock_guard<std::mutex> lock(lock_);
        clock_type::time_point now = clock_type::now();
        if (map_.size() >= kLocatorEntries && map_.find(path) == map_.end()) {
            for (auto it = map_.begin(); it != map_.end();)
                it = now - it->second.born >= kLocatorLife ? map_.erase(it) : std::next(it);
            if (map_.size() >= kLocatorEntries)
                map_.erase(
                    std::min_element(map_.begin(), map_.end(), [](const auto &a, const auto &b) {
                        return a.second.born < b.second.born;
                    }));
        }
        map_[path] = entry{url, now};
    }

  private:
    struct entry {
        std::string url;
        clock_type::time_point born;
    };
    std::mutex lock_;
    std::unordered_map<std::string, entry> map_;
};

// -- connections still sending their request -------------------------------------

// A request line and its headers must arrive within this time of the accept
// (or of the answer before, on a kept-alive connection), however slowly
// they trickle in: libmicrohttpd's own timeout restarts with every byte.
constexpr auto kHeaderDeadline = std::chrono::seconds(10);
// At most this many connections may be waiting for their request line and
// headers, per client address (an IPv6 /64) and in all; a newcomer over
// either bound pushes out the one that has waited longest, so a client that
// sends its request at once always gets its turn.
constexpr size_t kWaitingPerAddress = 16;
constexpr size_t kWaitingTotal = 64;

class connection_watch {
  public:
    void started(MHD_Connection *c, void **context) {
        *context = nullptr;
        const MHD_ConnectionInfo *fd =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo *from =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (!fd || !from)
            return;
        std::unique_ptr<conn> k(new (std::nothrow) conn);
        if (!k)
            return;
        k->fd = fd->connect_fd;
        k->since = clock_type::now();
        try {
            k->address = address_key(from->client_addr);
            std::lock_guard<std::mutex> lock(lock_);
            all_.insert(k.get());
            conn *mine = k.release();
            *context = mine;
            if (waiting_from(mine->address) > kWaitingPerAddress)
                push_out(mine->address);
            if (waiting_from("") > kWaitingTotal)
                push_out("");
        } catch (...) {
            // Untracked: the connection is still served, under the idle timeout.
        }
    }

    void closed(void **context) {
        conn *k = static_cast<conn *>(*context);
        if (!k)
            return;
        {
            std::lock_guard<std::mutex> lock(lock_);
            all_.erase(k);
        }
        delete k;
        *context = nullptr;
    }

    // The request line and headers are in; the deadline waits for the next.
    void request_begun(MHD_Connection *c) { mark(c, false); }
    void request_ended(MHD_Connection *c) { mark(c, true); }

    // Closes connections past their deadline until stop().
    void run() {
        std::unique_lock<std::mutex> lock(lock_);
        while (!stop_) {
            clock_type::time_point now = clock_type::now();
            for (conn *k : all_)
                if (k->waiting && !k->closing && now - k->since >= kHeaderDeadline)
                    close_locked(k);
            wake_.wait_for(lock, std::chrono::milliseconds(200));
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(lock_);
            stop_ = true;
        }
        wake_.notify_all();
    }

  private:
    struct conn {
        MHD_socket fd = MHD_INVALID_SOCKET;
        std::string address;
        clock_type::time_point since; // accepted, or its last answer completed
        bool waiting = true;          // for a complete request line and headers
        bool closing = false;
    };

    void mark(MHD_Connection *c, bool waiting) {
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        conn *k = info ? static_cast<conn *>(info->socket_context) : nullptr;
        if (!k)
            return;
        std::lock_guard<std::mutex> lock(lock_);
        k->waiting = waiting;
        k->since = clock_type::now();
    }

    // "" counts every address.
    size_t waiting_from(const std::string &address) const {
        size_t n = 0;
        for (const conn *k : all_)
            n += k->waiting && !k->closing && (address.empty() || k->address == address);
        return n;
    }

    void push_out(const std::string &address) {
        conn *oldest = nullptr;
        for (conn *k : all_)
            if (k->waiting && !k->closing && (address.empty() || k->address == address) &&
                (!oldest || k->since < oldest->since))
                oldest = k;
        if (oldest)
            close_locked(oldest);
    }

    // libmicrohttpd sees the end of the stream and closes the connection; it
    // reports the close (which takes lock_) before it releases the socket,
    // so the descriptor is still this connection's here.
    static void close_locked(conn *k) {
        shutdown(k->fd, SHUT_RDWR);
        k->closing = true;
    }

    // The client's address, IPv6 cut to its /64 (one host may hold all of it).
    static std::string address_key(const sockaddr *a) {
        char text[INET6_ADDRSTRLEN] = "";
        if (a && a->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a)->sin_addr, text,
                      sizeof text);
        } else if (a && a->sa_family == AF_INET6) {
            in6_addr prefix = reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr;
            std::memset(prefix.s6_addr + 8, 0, 8);
            inet_ntop(AF_INET6, &prefix, text, sizeof text);
        }
        return text[0] ? text : "?";
    }

    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::set<conn *> all_;
};

// -- the gateway ----------------------------------------------------------------

struct gateway {
    explicit gateway(const options &o) : ctx(o) {}
    context ctx;       // settings, transport, and the refresh token kept as it rotates
    std::string token; // empty: no credential asked
    bool loopback = true;
    std::atomic<uint16_t> port{0}; // known once the daemon listens (the port may be 0)
    locator_cache locators;
    connection_watch watch;
    std::atomic<int> in_flight{0};
    std::atomic<bool> stopping{false};
};

struct reply {
    unsigned status = 200;
    std::string type = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// What one request asked for, once it passed the checks.
struct request {
    const char *method = "";
    std::string path;   // decoded, "/" or "/A/B" or "/A/B/"
    std::string format; // "", "json" or "m3u"
    std::string t;      // the token when the request carried it as ?t=
    bool json_errors = false;
};

const char *reason(unsigned status) {
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
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
    default:
        return "Internal Server Error";
    }
}

const char kHead[] = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                     "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";

const char kStyle[] =
    "<style>\n"
    "body{font:16px/1.45 system-ui,sans-serif;margin:0 auto;max-width:56rem;padding:.5rem 1rem}\n"
    "nav{margin:.5rem 0;overflow-wrap:anywhere}h1{font-size:1.4rem;margin:.5rem 0;"
    "overflow-wrap:anywhere}\n"
    "table{border-collapse:collapse;width:100%}th,td{padding:.45rem .4rem;text-align:left;"
    "border-bottom:1px solid #ddd}\n"
    "td:first-child{overflow-wrap:anywhere}.n{text-align:right;white-space:nowrap;color:#555}"
    "a{color:#0645ad;text-decoration:none}\n"
    "@media (max-width:36rem){.d{display:none}}\n"
    "</style>\n";

reply error_reply(unsigned status, const std::string &message, bool json) {
    reply r;
    r.status = status;
    if (json) {
        r.type = "application/json";
        r.body = "{\"error\":" + json_string(printable(message)) + "}";
        return r;
    }
    std::string title = std::to_string(status) + " " + reason(status);
    r.body = std::string(kHead) + "<title>" + title + "</title>\n</head>\n<body>\n<h1>" + title +
             "</h1>\n<p>" + html_escape(message) + "</p>\n</body>\n</html>\n";
    return r;
}

// The library's messages that mean "this path is malformed", not "absent".
bool malformed_message(const std::string &message) {
    return message == "entry is not a valid drive path" ||
           message == "folder is not a valid drive path" ||
           message == "the virtual path is longer than 2048 bytes";
}

reply failure_reply(int code, const std::string &message, bool json) {
    switch (code) {
    case NIMBUS_E_NOT_FOUND:
        return error_reply(malformed_message(message) ? 400 : 404, message, json);
    case NIMBUS_E_AUTH:
        return error_reply(502,
                           "The service refused the authorisation (" + message +
                               "). Run nimbus login to sign in again.",
                           json);
    case NIMBUS_E_THROTTLED: {
        // The pause the service asked for, when the gateway did not wait it out.
        long asked = asked_wait();
        reply r = error_reply(503, "The service is throttling requests: " + message, json);
        r.headers.emplace_back("Retry-After", std::to_string(asked ? asked : kRetryAfterSeconds));
        return r;
    }
    case NIMBUS_E_UNAVAILABLE: {
        reply r = error_reply(503, "The service is unavailable: " + message, json);
        if (long asked = asked_wait())
            r.headers.emplace_back("Retry-After", std::to_string(asked));
        return r;
    }
    case NIMBUS_E_INVALID:
        return error_reply(500, "The gateway's settings are invalid: " + message, json);
    default:
        return error_reply(502, message, json);
    }
}

struct listing_row {
    bool folder = false;
    std::string name;
    int64_t size = -1;
    int64_t mtime_ms = 0;
};

// The rows of a listing answer, sorted for display; a huge listing keeps its
// first kMaxRows rows in display order, and *total says how many there were.
bool read_listing(const std::string &answer, std::vector<listing_row> *rows, size_t *total) {
    doc_ptr doc = read_json(answer);
    yyjson_val *items = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "items") : nullptr;
    if (!yyjson_is_arr(items))
        return false;
    size_t idx, max;
    yyjson_val *it;
    yyjson_arr_foreach(items, idx, max, it) {
        yyjson_val *name = yyjson_obj_get(it, "name");
        if (!yyjson_is_str(name) || yyjson_get_len(name) == 0)
            continue;
        listing_row r;
        r.folder = yyjson_is_true(yyjson_obj_get(it, "folder"));
        r.name.assign(yyjson_get_str(name), yyjson_get_len(name));
        yyjson_val *size = yyjson_obj_get(it, "size");
        yyjson_val *mtime = yyjson_obj_get(it, "mtime_ms");
        r.size = yyjson_is_int(size) ? yyjson_get_sint(size) : -1;
        r.mtime_ms = yyjson_is_int(mtime) ? yyjson_get_sint(mtime) : 0;
        rows->push_back(std::move(r));
    }
    std::sort(rows->begin(), rows->end(), [](const listing_row &a, const listing_row &b) {
        if (a.folder != b.folder)
            return a.folder;
        return name_before(a.name, b.name);
    });
    *total = rows->size();
    if (rows->size() > kMaxRows) {
        rows->resize(kMaxRows);
        rows->shrink_to_fit();
    }
    return true;
}

// Says that a page shows only the first kMaxRows of a folder's entries.
std::string cut_note(size_t total) {
    return "Only the first " + std::to_string(kMaxRows) + " of " + std::to_string(total) +
           " entries are shown";
}

std::string token_query(const request &q, char lead) {
    return q.t.empty() ? std::string() : std::string(1, lead) + "t=" + url_encode(q.t, false);
}

reply folder_page(const request &q, const std::vector<listing_row> &rows, size_t total) {
    const std::string &folder = q.path; // ends with "/"
    std::string title = folder == "/" ? "Drive" : folder.substr(0, folder.size() - 1);
    title = title.substr(title.rfind('/') + 1);

    std::string nav = "<a href=\"/" + token_query(q, '?') + "\">Drive</a>";
    size_t start = 1;
    while (start < folder.size()) {
        size_t end = folder.find('/', start);
        std::string prefix = folder.substr(0, end + 1);
        std::string part = folder.substr(start, end - start);
        if (end + 1 == folder.size())
            nav += " / <span>" + html_escape(part) + "</span>";
        else
            nav += " / <a href=\"" + html_escape(url_encode(prefix, true) + token_query(q, '?')) +
                   "\">" + html_escape(part) + "</a>";
        start = end + 1;
    }

    size_t folders = 0;
    std::string table;
    for (const listing_row &r : rows) {
        folders += r.folder ? 1 : 0;
        std::string href =
            url_encode(folder + r.name, true) + (r.folder ? "/" : "") + token_query(q, '?');
        table += "<tr><td><a href=\"" + html_escape(href) + "\">" + html_escape(r.name) +
                 (r.folder ? "/" : "") + "</a></td><td class=\"n\">" +
                 (r.folder ? std::string("") : html_escape(human_size(r.size))) +
                 "</td><td class=\"n d\">" + html_escape(utc_minutes(r.mtime_ms)) + "</td></tr>\n";
    }
    size_t files = rows.size() - folders;
    std::string note =
        total > rows.size() ? "<p>" + cut_note(total) + " (by name, folders first).</p>\n" : "";

    reply out;
    out.body = std::string(kHead) + "<title>" + html_escape(title) + " - nimbus</title>\n" +
               kStyle + "</head>\n<body>\n<nav>" + nav + "</nav>\n<h1>" + html_escape(title) +
               "</h1>\n<p><a href=\"" +
               html_escape(url_encode(folder, true) + "?format=m3u" + token_query(q, '&')) +
               "\">Playlist (M3U)</a> &middot; " + std::to_string(folders) +
               (folders == 1 ? " folder, " : " folders, ") + std::to_string(files) +
               (files == 1 ? " file" : " files") + "</p>\n" + note +
               "<table>\n<thead><tr><th>Name</th><th class=\"n\">Size</th>"
               "<th class=\"n d\">Modified (UTC)</th></tr></thead>\n<tbody>\n" +
               table + "</tbody>\n</table>\n</body>\n</html>\n";
    return out;
}

// Host names the playlist may put into URLs: names, IPv4 and [IPv6], a port.
bool host_header_ok(const std::string &host) {
    if (host.empty() || host.size() > 255)
        return false;
    for (unsigned char c : host)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_'))
            return false;
    return true;
}

reply playlist(const request &q, const std::vector<listing_row> &rows, size_t total,
               const std::string &host) {
    if (!host_header_ok(host))
        return error_reply(400, "the playlist needs a valid Host header", q.json_errors);
    reply out;
    out.type = "audio/x-mpegurl";
    out.body = "#EXTM3U\n";
    if (total > rows.size())
        out.body += "# " + cut_note(total) + ".\n";
    for (const listing_row &r : rows) {
        if (r.folder || !ends_with_media_extension(r.name))
            continue;
        out.body += "#EXTINF:-1,";
        out.body += printable(r.name);
        out.body += "\nhttp://";
        out.body += host;
        out.body += url_encode(q.path + r.name, true);
        out.body += token_query(q, '?');
        out.body += '\n';
    }
    return out;
}

// The library keeps each thread's last answer until that thread's next
// request; a pool thread may then sit idle for hours holding a listing of
// many megabytes. Publishing an empty listing lets it go.
void release_result() {
    nimbus_parse_items("{\"value\":[]}", "/", nullptr, 0);
}

reply serve_folder(gateway &g, const request &q, const std::string &host) {
    std::string folder = q.path.size() > 1 ? q.path.substr(0, q.path.size() - 1) : std::string();
    int rc = nimbus_list(g.ctx.settings().c_str(), folder.c_str(), nullptr, 0);
    if (rc != NIMBUS_OK)
        return failure_reply(rc, nimbus_last_error(), q.json_errors);
    std::string answer = nimbus_result_json();
    release_result();
    if (q.format == "json") {
        reply r;
        r.type = "application/json";
        r.body = std::move(answer);
        return r;
    }
    std::vector<listing_row> rows;
    size_t total = 0;
    bool read = read_listing(answer, &rows, &total);
    std::string().swap(answer);
    if (!read)
        return error_reply(502, "the listing answer has no items array", q.json_errors);
    return q.format == "m3u" ? playlist(q, rows, total, host) : folder_page(q, rows, total);
}

bool location_ok(const std::string &url) {
    if (url.compare(0, 8, "https://") != 0 && url.compare(0, 7, "http://") != 0)
        return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f)
            return false;
    return true;
}

reply redirect(const std::string &location) {
    reply r;
    r.status = 302;
    r.headers.emplace_back("Location", location);
    r.body = std::string(kHead) + "<title>302 Found</title>\n</head>\n<body>\n<p><a href=\"" +
             html_escape(location) + "\">Found</a></p>\n</body>\n</html>\n";
    return r;
}

reply serve_file(gateway &g, const request &q) {
    std::string url;
    if (g.locators.find(q.path, &url))
        return redirect(url);
    int rc = nimbus_stream_url(g.ctx.settings().c_str(), json_string(q.path).c_str(), nullptr, 0);
    if (rc != NIMBUS_OK) {
        std::string message = nimbus_last_error();
        // A folder named without its final "/": send the player to its page.
        if (rc == NIMBUS_E_NOT_FOUND &&
            message == "item " + q.path + " is a folder, not a playable file") {
            std::string to = url_encode(q.path, true) + "/";
            if (!q.format.empty())
                to += "?format=" + q.format + token_query(q, '&');
            else
                to += token_query(q, '?');
            return redirect(to);
        }
        return failure_reply(rc, message, q.json_errors);
    }
    std::string answer = nimbus_result_json();
    release_result();
    doc_ptr doc = read_json(answer);
    yyjson_val *v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "url") : nullptr;
    if (yyjson_is_str(v) && yyjson_get_len(v) > kMaxLocator)
        return error_reply(502,
                           "the service gave a download URL longer than " +
                               std::to_string(kMaxLocator) + " bytes",
                           q.json_errors);
    if (yyjson_is_str(v))
        url.assign(yyjson_get_str(v), yyjson_get_len(v));
    if (!location_ok(url))
        return error_reply(502, "the service gave no usable download URL", q.json_errors);
    g.locators.store(q.path, url);
    return redirect(url);
}

// -- request checks ------------------------------------------------------------

const char *header(MHD_Connection *c, const char *name) {
    return MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
}

// The credential: the password of HTTP Basic authentication (any user name)
// or the t query parameter.
bool authorised(MHD_Connection *c, const gateway &g, request *q) {
    bool ok = false;
    const char *t = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "t");
    std::string given;
    if (t && decode_query(t, &given) && !given.empty() && same_secret(given, g.token)) {
        q->t = given;
        ok = true;
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

reply handle(gateway &g, MHD_Connection *c, const char *url, const char *method) {
    forget_asked_wait(); // this thread's last request may have been throttled
    request q;
    q.method = method;
    const char *format = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "format");
    if (format && (std::strcmp(format, "json") == 0 || std::strcmp(format, "m3u") == 0))
        q.format = format;
    q.json_errors = q.format == "json";

    const char *host = header(c, MHD_HTTP_HEADER_HOST);
    if (g.loopback && !loopback_host(host, g.port))
        return error_reply(421, "this gateway answers only to its loopback address", q.json_errors);
    if (!g.token.empty() && !authorised(c, g, &q)) {
        reply r = error_reply(401, "this gateway needs its access token", q.json_errors);
        r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"nimbus\", charset=\"UTF-8\"");
        return r;
    }
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        reply r = error_reply(405, "only GET and HEAD are served", q.json_errors);
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    if (format && q.format.empty())
        return error_reply(400, "format must be json or m3u", q.json_errors);
    if (!decode_path(url, &q.path))
        return error_reply(400, "the path is not a valid drive path", q.json_errors);
    if (q.path.back() == '/')
        return serve_folder(g, q, host ? host : "");
    return serve_file(g, q);
}

// -- libmicrohttpd callbacks -----------------------------------------------------

// Leaves escapes in place: the path and query values are decoded by
// decode_path and decode_query, which refuse what a drive path cannot hold.
size_t keep_escaped(void *, MHD_Connection *, char *s) {
    return std::strlen(s);
}

int g_request_marker;

MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                      const char *, const char *, size_t *upload_size, void **state) {
    gateway &g = *static_cast<gateway *>(cls);
    bool get = method && (std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0);
    if (!*state) {
        *state = &g_request_marker;
        g.in_flight++;
        g.watch.request_begun(c);
        // GET and HEAD are answered once the request is complete, so the
        // connection stays open for the next one; anything else is refused
        // at once, without reading its body.
        if (get)
            return MHD_YES;
    } else if (*upload_size) {
        *upload_size = 0; // a body sent with GET is ignored
        return MHD_YES;
    }
    auto start = clock_type::now();
    reply r;
    try {
        r = handle(g, c, url ? url : "", method ? method : "");
    } catch (...) {
        r = error_reply(500, "out of memory", false);
    }
    // A grant during this request may have rotated the refresh token: the
    // server runs for days, so it is stored now, not at exit.
    try {
        g.ctx.keep_rotation();
    } catch (...) {
        print_error("warning: the rotated refresh token was not stored");
    }
    MHD_Response *resp =
        MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!resp)
        return MHD_NO;
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, r.type.c_str());
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(resp, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(resp, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(resp, "Content-Security-Policy",
                            "default-src 'none'; style-src 'unsafe-inline'");
    for (const auto &h : r.headers)
        MHD_add_response_header(resp, h.first.c_str(), h.second.c_str());
    if (g.stopping)
        MHD_add_response_header(resp, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_Result queued = MHD_queue_response(c, r.status, resp);
    MHD_destroy_response(resp);

    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count());
    // The query is left out: it may hold the access token.
    std::fprintf(stderr, "%s %s %u %ld ms\n", printable(method ? method : "").c_str(),
                 printable(url ? url : "").c_str(), r.status, ms);
    return queued;
}

void on_completed(void *cls, MHD_Connection *c, void **state, MHD_RequestTerminationCode) {
    gateway &g = *static_cast<gateway *>(cls);
    g.watch.request_ended(c);
    if (*state) {
        g.in_flight--;
        *state = nullptr;
    }
}

void on_connection(void *cls, MHD_Connection *c, void **context,
                   MHD_ConnectionNotificationCode what) {
    gateway &g = *static_cast<gateway *>(cls);
    if (what == MHD_CONNECTION_NOTIFY_STARTED)
        g.watch.started(c, context);
    else
        g.watch.closed(context);
}

void on_log(void *, const char *format, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::fprintf(stderr, "nimbus: serve: %s\n", printable(line).c_str());
}

} // namespace

int run_serve(const options &o) {
    listen_address addr;
    std::string error;
    if (!parse_listen(o.listen.empty() ? "127.0.0.1:8080" : o.listen, &addr, &error)) {
        print_error(error);
        return EXIT_USAGE;
    }
    std::string token;
    if (!o.auth_token_file.empty() && !read_token_file(o.auth_token_file, &token, &error)) {
        print_error(error);
        return EXIT_SETTINGS;
    }
    if (!addr.loopback && token.empty()) {
        print_error("serve: listening on " + addr.host +
                    " lets other hosts in; give a secret with --auth-token-file FILE");
        return EXIT_USAGE;
    }
    gateway g(o);
    g.loopback = addr.loopback;
    g.token = token;
    // The signals that stop the server are taken by sigwait below, not by
    // the Ctrl-C handler of the one-shot commands.
    if (int rc = g.ctx.open(false))
        return rc;
    if (!o.demo && !nimbus_drive_base(g.ctx.settings().c_str())) {
        print_failure("serve", NIMBUS_E_INVALID, nimbus_last_error());
        return EXIT_SETTINGS;
    }

    // The pool threads inherit this mask; the signals are taken by sigwait below.
    sigset_t stop_signals, old_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
    signal(SIGPIPE, SIG_IGN);

    unsigned flags = MHD_USE_AUTO | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ITC |
                     MHD_USE_ERROR_LOG | (addr.is_v6 ? MHD_USE_IPv6 : 0);
    const sockaddr *bind_to = addr.is_v6 ? reinterpret_cast<const sockaddr *>(&addr.v6)
                                         : reinterpret_cast<const sockaddr *>(&addr.v4);
    MHD_Daemon *d = MHD_start_daemon(
        flags, 0, nullptr, nullptr, on_request, &g, MHD_OPTION_EXTERNAL_LOGGER, on_log, nullptr,
        MHD_OPTION_SOCK_ADDR, bind_to, MHD_OPTION_THREAD_POOL_SIZE,
        static_cast<unsigned>(o.threads > 0 ? o.threads : 4), MHD_OPTION_CONNECTION_LIMIT,
        kConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT, addr.loopback ? 0u : kPerAddressLimit,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kConnectionMemory, MHD_OPTION_UNESCAPE_CALLBACK, keep_escaped, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, on_completed, &g, MHD_OPTION_NOTIFY_CONNECTION, on_connection,
        &g, MHD_OPTION_END);
    if (!d) {
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        print_error("serve: cannot listen on " + addr.host + ":" +
                    std::to_string(ntohs(addr.is_v6 ? addr.v6.sin6_port : addr.v4.sin_port)));
        return EXIT_OTHER;
    }
    std::thread watchdog([&g] { g.watch.run(); });
    const MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    g.port = info ? info->port : 0;
    std::fprintf(stderr, "nimbus: serving http://%s:%u/ (%s; stop with Ctrl-C)\n",
                 addr.host.c_str(), static_cast<unsigned>(g.port.load()),
                 g.token.empty() ? "no credential" : "access token required");
    std::fflush(stderr);

    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {
    }
    g.stopping = true;
    // A second signal ends the process at once, whatever the stop waits for.
    std::thread([stop_signals] {
        int again = 0;
        while (sigwait(&stop_signals, &again) != 0) {
        }
        std::fprintf(stderr, "nimbus: stopped at once (%s)\n",
                     again == SIGINT ? "SIGINT" : "SIGTERM");
        std::fflush(stderr);
        _exit(128 + again);
    }).detach();
    MHD_socket listener = MHD_quiesce_daemon(d);
    // No request waits any longer for a retry; transfers under way get a
    // short grace to finish, then they are cut short too.
    stop_waits();
    auto grace_end = clock_type::now() + kStopGrace;
    while (g.in_flight > 0 && clock_type::now() < grace_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    interrupt_transfers();
    // The requests cut short answer (curl notices within a second); their
    // answers are sent before the connections close.
    grace_end = clock_type::now() + std::chrono::seconds(3);
    while (g.in_flight > 0 && clock_type::now() < grace_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    MHD_stop_daemon(d);
    g.watch.stop();
    watchdog.join();
    if (listener != MHD_INVALID_SOCKET)
        close(listener);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    std::fprintf(stderr, "nimbus: stopped (%s)\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    return EXIT_OK;
}

} // namespace cli
