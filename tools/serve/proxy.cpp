#include "serve/proxy.h"
#include "knobs.h"
#include "serve/pump.h"
#include "serve/range.h"
#include "serve/request.h"
#include "serve/ring.h"

#include <nimbus.h>

#include <curl/curl.h>
#include <microhttpd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace cli {

namespace {

// How long the service may take to answer with its headers.
constexpr auto kHeadersWithin = std::chrono::seconds(40);
// How long a client may leave the buffer full before the transfer from the
// service is ended (tests shorten it); a paused player's stream then waits
// for it, up to kPauseSeconds, and goes on from there with a range request.
constexpr auto kClientStall = std::chrono::seconds(60);
constexpr unsigned kPauseSeconds = 30 * 60;
// Bytes MHD asks the reader for at once.
constexpr size_t kBlock = 128 * 1024;
// Header values kept from the service's answer.
constexpr size_t kMaxHeader = 1024;
// Times a transfer the network cut is picked up again: in a row without a
// byte arriving in between, and in all (a server that always cuts early
// would otherwise be asked once per few bytes).
constexpr int kMaxCuts = 2;
constexpr int kMaxPickUps = 16;

} // namespace

// One transfer. Two owners: the thread that runs curl, and the MHD response
// (or open() until it makes one); the last to let go deletes it.
struct proxy::stream {
    proxy *owner = nullptr;
    std::mutex m;
    std::condition_variable cv; // headers, room, the end, a cancel
    byte_ring ring{kProxyBuffer};
    // The room a waiter on cv needs (the transfer, or a paused stream
    // waiting for its player): the client wakes it only then, not per read.
    size_t room_wanted = 0;
    bool headers_done = false, finished = false, failed = false, cancelled = false;
    long status = 0;
    long long length = -1;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string error;
    // A transfer the network cuts is picked up where it stopped with a
    // range request that names the version (If-Range), so that bytes of
    // two versions of a file are never joined: the body's place in the
    // file (from < 0: it cannot be picked up), the bytes taken so far.
    long long from = -1, to = -1, taken = 0, taken_at_cut = 0;
    std::string validator;
    long long answer_first = -1, answer_last = -1; // the answer under way's Content-Range
    std::string etag, modified;                    // and its validators
    bool resumed = false, resume_ok = false, stalled = false;
    int cuts = 0, pick_ups = 0;
    MHD_Connection *conn = nullptr;
    std::string client;      // the client's address key
    bool holds_slot = false; // guarded by the proxy's lock_
    bool suspended = false;
    int refs = 2;
    transfer_pump pump;
    CURL *curl = nullptr;
    curl_slist *connect = nullptr, *request_headers = nullptr;

    ~stream() {
        if (curl)
            curl_easy_cleanup(curl);
        curl_slist_free_all(connect);
        curl_slist_free_all(request_headers);
    }

    void release() {
        bool last;
        {
            std::lock_guard<std::mutex> hold(m);
            last = --refs == 0;
        }
        if (last)
            delete this;
    }

    // The caller holds m.
    void wake_client() {
        if (suspended && conn) {
            suspended = false;
            MHD_resume_connection(conn);
        }
        cv.notify_all();
    }
    // The caller holds m: the client is woken for bytes only once they are
    // worth a wake-up (see byte_ring), not for each delivery.
    void offer(byte_ring::clock::time_point now) {
        if (suspended && conn && ring.worth_waking(now)) {
            suspended = false;
            MHD_resume_connection(conn);
        }
    }

    void run();
    void headers_end();
    bool pick_up();
    static size_t on_header(char *data, size_t size, size_t n, void *self);
    static size_t on_body(char *data, size_t size, size_t n, void *self);
    static int on_progress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static bool on_tick(void *self);
    static ssize_t read(void *self, uint64_t pos, char *buf, size_t max);
    static void done(void *self);
};

// A player opens a transfer per seek, each to the same storage host: with
// its name lookup and TLS session kept from the last one, a new transfer
// resumes the session instead of a full handshake (the certificate chain
// checked again, a key exchange). Connections are not shared: a transfer
// the client left was cut mid-body, and cannot be reused.
struct proxy::share {
    CURLSH *handle = nullptr;
    std::mutex locks[CURL_LOCK_DATA_LAST];

    share() {
        handle = curl_share_init();
        if (!handle)
            return;
        curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, lock);
        curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, unlock);
        curl_share_setopt(handle, CURLSHOPT_USERDATA, this);
        if (curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK ||
            curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
            curl_share_cleanup(handle);
            handle = nullptr;
        }
    }
    ~share() {
        if (handle)
            curl_share_cleanup(handle); // every transfer let go of it (run)
    }
    share(const share &) = delete;
    share &operator=(const share &) = delete;

    static void lock(CURL *, curl_lock_data what, curl_lock_access, void *self) {
        if (what >= 0 && what < CURL_LOCK_DATA_LAST)
            static_cast<share *>(self)->locks[what].lock();
    }
    static void unlock(CURL *, curl_lock_data what, void *self) {
        if (what >= 0 && what < CURL_LOCK_DATA_LAST)
            static_cast<share *>(self)->locks[what].unlock();
    }
};

proxy::proxy(std::string cacert, std::vector<std::string> connect_to)
    : cacert_(std::move(cacert)), connect_to_(std::move(connect_to)) {
    try {
        share_ = std::make_unique<share>();
    } catch (...) {
        // Without it each transfer looks the host up and shakes hands anew.
    }
}

proxy::~proxy() {
    cancel_all();
}

proxy_answer proxy::open(MHD_Connection *c, const std::string &url, const char *range) {
    proxy_answer out;
    stream *s = nullptr;
    try {
        s = new stream;
    } catch (...) {
    }
    if (!s || !(s->curl = curl_easy_init())) {
        delete s;
        out.error = "out of memory";
        return out;
    }
    s->owner = this;
    s->conn = c;
    const MHD_ConnectionInfo *from = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    try {
        s->client = client_key(from ? from->client_addr : nullptr);
    } catch (...) {
        delete s;
        out.error = "out of memory";
        return out;
    }
    CURL *h = s->curl;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, NIMBUS_USER_AGENT);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 3L);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 10L);
    if (share_ && share_->handle)
        curl_easy_setopt(h, CURLOPT_SHARE, share_->handle);
    // A stream of a film lasts hours: no total timeout, but a stall ends it.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
    if (!cacert_.empty())
        curl_easy_setopt(h, CURLOPT_CAINFO, cacert_.c_str());
    for (const std::string &rule : connect_to_)
        if (curl_slist *next = curl_slist_append(s->connect, rule.c_str()))
            s->connect = next;
    if (s->connect)
        curl_easy_setopt(h, CURLOPT_CONNECT_TO, s->connect);
    // Only one valid range goes on, as digits of our own; several are
    // answered with the whole file (RFC 9110 lets a server ignore Range),
    // since the stream cannot make a multipart answer, and players ask for
    // one range at a time.
    byte_range one;
    if (read_range(range, &one) == range_ask::one) {
        s->request_headers = curl_slist_append(nullptr, ("Range: " + range_value(one)).c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, s->request_headers);
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, stream::on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, s);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, stream::on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, s);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, stream::on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, s);
    s->pump.read_ahead(h);

    {
        std::lock_guard<std::mutex> hold(lock_);
        bool slot = false;
        try {
            slot = !cancelled_ && take_slot(s);
        } catch (...) {
        }
        if (!slot) {
            delete s;
            out.busy = true;
            out.error = "too many streams at once";
            return out;
        }
        try {
            streams_.push_back(s);
            std::thread([s] { s->run(); }).detach();
            running_++;
        } catch (...) {
            streams_.erase(std::remove(streams_.begin(), streams_.end(), s), streams_.end());
            give_slot(s);
            delete s;
            out.error = "cannot start a stream";
            return out;
        }
    }

    std::unique_lock<std::mutex> hold(s->m);
    if (!s->cv.wait_for(hold, kHeadersWithin, [s] { return s->headers_done; })) {
        s->cancelled = true;
        out.error = "the service did not answer within 40 s";
    } else if (s->status == 200 || s->status == 206) {
        uint64_t size = s->length >= 0 ? static_cast<uint64_t>(s->length) : MHD_SIZE_UNKNOWN;
        out.response =
            MHD_create_response_from_callback(size, kBlock, stream::read, s, stream::done);
        if (out.response) {
            // A paused player takes nothing and keeps its connection.
            MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, kPauseSeconds + 60);
            out.status = static_cast<unsigned>(s->status);
            out.headers = s->headers;
            return out; // the response holds the second reference now
        }
        s->cancelled = true;
        out.error = "out of memory";
    } else {
        s->cancelled = true;
        if (s->status == 416) {
            // Only the file's length, when the service told it, goes back.
            out.status = 416;
            long long total = -1;
            for (const auto &h : s->headers)
                if (h.first == "Content-Range" && unsatisfied_length(h.second, &total))
                    out.headers.emplace_back("Content-Range", "bytes */" + std::to_string(total));
            out.response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            if (!out.response)
                out.status = 0;
        } else if (s->status != 0) {
            out.refused =
                s->status == 401 || s->status == 403 || s->status == 404 || s->status == 410;
            out.error = "the download URL answered HTTP " + std::to_string(s->status);
        } else {
            out.error = s->error.empty() ? "the download failed" : s->error;
        }
    }
    s->cv.notify_all();
    hold.unlock();
    s->release();
    return out;
}

void proxy::cancel_all() {
    std::unique_lock<std::mutex> hold(lock_);
    cancelled_ = true;
    for (stream *s : streams_) {
        std::lock_guard<std::mutex> sh(s->m);
        s->cancelled = true;
        s->wake_client();
    }
    idle_.wait(hold, [this] { return running_ == 0; });
}

bool proxy::take_slot(stream *s) {
    if (active_ >= kProxyStreams)
        return false;
    auto mine = per_client_.emplace(s->client, 0).first;
    if (mine->second >= kStreamsPerClient)
        return false;
    mine->second++;
    active_++;
    s->holds_slot = true;
    return true;
}

void proxy::give_slot(stream *s) {
    if (!s->holds_slot)
        return;
    s->holds_slot = false;
    active_--;
    auto mine = per_client_.find(s->client);
    if (mine != per_client_.end() && --mine->second == 0)
        per_client_.erase(mine);
}

void proxy::pause(stream *s) {
    std::lock_guard<std::mutex> hold(lock_);
    give_slot(s);
    try {
        paused_.push_back(s);
    } catch (...) {
        std::lock_guard<std::mutex> sh(s->m);
        s->cancelled = true; // cannot be kept: it ends
        return;
    }
    size_t same = 0;
    for (stream *p : paused_)
        same += p->client == s->client;
    while (same > kPausedPerClient || paused_.size() > kPausedStreams) {
        auto oldest = same > kPausedPerClient
                          ? std::find_if(paused_.begin(), paused_.end(),
                                         [s](stream *p) { return p->client == s->client; })
                          : paused_.begin();
        stream *v = *oldest;
        paused_.erase(oldest);
        same -= v->client == s->client;
        std::lock_guard<std::mutex> vh(v->m);
        v->cancelled = true;
        v->error = "too many paused streams";
        v->wake_client();
    }
}

bool proxy::unpause(stream *s, bool wanted) {
    std::lock_guard<std::mutex> hold(lock_);
    paused_.erase(std::remove(paused_.begin(), paused_.end(), s), paused_.end());
    try {
        return wanted && !cancelled_ && take_slot(s);
    } catch (...) {
        return false;
    }
}

void proxy::ended(stream *s) {
    std::lock_guard<std::mutex> hold(lock_);
    streams_.erase(std::remove(streams_.begin(), streams_.end(), s), streams_.end());
    paused_.erase(std::remove(paused_.begin(), paused_.end(), s), paused_.end());
    give_slot(s);
    running_--;
    idle_.notify_all();
}

void proxy::stream::run() {
    char message[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    CURLcode rc;
    do {
        message[0] = '\0';
        rc = pump.perform(curl, on_tick, this);
    } while (rc != CURLE_OK && pick_up());
    // The handle may outlive the proxy (the client's response holds it); the
    // share may not be left attached to it.
    curl_easy_setopt(curl, CURLOPT_SHARE, nullptr);
    proxy *o = owner;
    {
        std::lock_guard<std::mutex> hold(m);
        finished = true;
        // A body cut short (or a stall, or a cancel) ends the client's
        // connection rather than pass for the whole file.
        failed = rc != CURLE_OK;
        if (failed && error.empty())
            error = message[0] ? message : curl_easy_strerror(rc);
        headers_done = true;
        wake_client();
    }
    // The slot goes back before the stream may be deleted (its key is read).
    o->ended(this);
    release();
}

// The end of an answer's headers (the caller holds m). The first answer
// is the client's: where its body lies in the file and which version it
// is. A later one must carry exactly the rest of that body.
void proxy::stream::headers_end() {
    if (resumed) {
        resume_ok = status == 206 && answer_first == from + taken && answer_last == to;
        return;
    }
    // A weak ETag cannot name a version for If-Range; the time can.
    validator = !etag.empty() && etag.compare(0, 2, "W/") != 0 ? etag : modified;
    if (status == 206 && answer_first >= 0) {
        from = answer_first;
        to = answer_last;
    } else if (status == 200 && length > 0) {
        from = 0;
        to = length - 1;
    }
    if (validator.empty())
        from = -1;
    headers_done = true;
    cv.notify_all();
}

// After a transfer failed: true when it is asked again for the rest of the
// body. After a stall, once the client takes bytes again (a paused player
// resumed). Not after a cancel, an answer that was not the rest of the
// file, or too many cuts.
bool proxy::stream::pick_up() {
    std::unique_lock<std::mutex> hold(m);
    if (cancelled || from < 0 || !headers_done || (resumed && !resume_ok) || from + taken > to)
        return false;
    if (stalled) {
        // No transfer runs while the player is paused: the slot is free for
        // others, and taken again (if one is free) when the player reads.
        hold.unlock();
        owner->pause(this);
        hold.lock();
        room_wanted = 1;
        bool back = cv.wait_for(hold, std::chrono::seconds(kPauseSeconds),
                                [this] { return cancelled || ring.room() > 0; });
        room_wanted = 0;
        if (!back)
            error = "the client took nothing for 30 minutes";
        back = back && !cancelled;
        hold.unlock();
        back = owner->unpause(this, back);
        hold.lock();
        if (!back) {
            if (!cancelled && ring.room() > 0)
                error = "no stream slot was free when the client came back";
            return false;
        }
        stalled = false;
        error.clear();
        cuts = 0;
    } else {
        if (taken > taken_at_cut)
            cuts = 0;
        if (++cuts > kMaxCuts || ++pick_ups > kMaxPickUps)
            return false;
    }
    taken_at_cut = taken;
    std::string range = "Range: bytes=" + std::to_string(from + taken) + "-" + std::to_string(to);
    curl_slist *list = curl_slist_append(nullptr, range.c_str());
    curl_slist *both = list ? curl_slist_append(list, ("If-Range: " + validator).c_str()) : nullptr;
    if (!both) {
        curl_slist_free_all(list);
        return false;
    }
    curl_slist_free_all(request_headers);
    request_headers = both;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, request_headers);
    resumed = true;
    resume_ok = false;
    return true;
}

size_t proxy::stream::on_header(char *data, size_t size, size_t n, void *self) {
    auto *s = static_cast<stream *>(self);
    size_t len = size * n;
    std::string line(data, len);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::lock_guard<std::mutex> hold(s->m);
    if (s->cancelled)
        return 0;
    if (line.compare(0, 5, "HTTP/") == 0) {
        // Each answer of a redirect chain starts again.
        size_t sp = line.find(' ');
        s->status = sp == std::string::npos ? 0 : std::strtol(line.c_str() + sp + 1, nullptr, 10);
        s->headers.clear();
        s->length = -1;
        s->answer_first = s->answer_last = -1;
        s->etag.clear();
        s->modified.clear();
        return len;
    }
    if (line.empty()) {
        if (s->status < 300 || s->status >= 400)
            s->headers_end();
        return len;
    }
    std::string name, value;
    if (!header_line(line, kMaxHeader, &name, &value))
        return len; // nothing with a control character goes to the client
    if (name == "content-length") {
        char *end = nullptr;
        long long v = std::strtoll(value.c_str(), &end, 10);
        if (end && !*end && v >= 0 && !value.empty())
            s->length = v;
        return len;
    }
    if (name == "content-range") {
        if (!content_range(value, &s->answer_first, &s->answer_last))
            s->answer_first = s->answer_last = -1;
    } else if (name == "etag") {
        s->etag = value;
    } else if (name == "last-modified") {
        s->modified = value;
    }
    // What the client gets of the answer's headers, by their names. Not
    // its Content-Type: the gateway names the type itself, never one a
    // browser would render as a page of the gateway's origin.
    static const char *const passed[][2] = {{"content-range", "Content-Range"},
                                            {"accept-ranges", "Accept-Ranges"},
                                            {"etag", "ETag"},
                                            {"last-modified", "Last-Modified"}};
    for (const auto &p : passed)
        if (name == p[0])
            s->headers.emplace_back(p[1], value);
    return len;
}

size_t proxy::stream::on_body(char *data, size_t size, size_t n, void *self) {
    auto *s = static_cast<stream *>(self);
    size_t len = size * n;
    std::unique_lock<std::mutex> hold(s->m);
    if (s->resumed && !s->resume_ok)
        return 0; // not the rest of the same file: the client's stream ends
    if (s->status != 200 && s->status != 206)
        return s->cancelled ? 0 : len; // an error page: not for the client
    size_t done = 0;
    while (done < len) {
        static const std::chrono::seconds stall =
            knob_seconds("NIMBUS_SERVE_STALL_SECONDS", kClientStall);
        // Room for the whole delivery (it is never larger than the ring in
        // practice), so the client wakes this thread once per delivery at most.
        size_t want = std::min(len - done, s->ring.capacity());
        s->room_wanted = want;
        bool room = s->cv.wait_for(hold, stall,
                                   [s, want] { return s->cancelled || s->ring.room() >= want; });
        s->room_wanted = 0;
        if (!room) {
            char why[64];
            std::snprintf(why, sizeof why, "the client took nothing for %lld s",
                          static_cast<long long>(stall.count()));
            s->error = why;
            s->stalled = true;
            return 0;
        }
        if (s->cancelled)
            return 0;
        // The copy runs unlocked: the client's reads copy out of other bytes
        // of the ring meanwhile (byte_ring::run).
        byte_ring::run to = s->ring.free_run();
        size_t n = std::min(to.size, len - done);
        hold.unlock();
        std::memcpy(to.at, data + done, n);
        hold.lock();
        auto now = byte_ring::clock::now();
        s->ring.filled(n, now);
        done += n;
        s->taken += static_cast<long long>(n);
        s->offer(now);
    }
    return len;
}

int proxy::stream::on_progress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto *s = static_cast<stream *>(self);
    std::lock_guard<std::mutex> hold(s->m);
    if (s->cancelled)
        return 1;
    // Bytes below the wake-up mark, from a service that sends no more for
    // now: libcurl calls here at least once a second while it waits.
    s->offer(byte_ring::clock::now());
    return 0;
}

// While the service sends nothing: bytes below the wake-up mark go to
// the client, and a cancel ends the transfer.
bool proxy::stream::on_tick(void *self) {
    return on_progress(self, 0, 0, 0, 0) != 0;
}

ssize_t proxy::stream::read(void *self, uint64_t, char *buf, size_t max) {
    auto *s = static_cast<stream *>(self);
    std::unique_lock<std::mutex> hold(s->m);
    if (s->ring.used() > 0) {
        // Both runs of the ring (before and after its end), each copied
        // unlocked while the transfer may fill the room.
        size_t n = 0;
        for (int i = 0; i < 2 && n < max; i++) {
            byte_ring::run from = s->ring.held_run();
            size_t k = std::min(from.size, max - n);
            if (k == 0)
                break;
            hold.unlock();
            std::memcpy(buf + n, from.at, k);
            hold.lock();
            s->ring.drained(k);
            n += k;
        }
        if (s->room_wanted > 0 && s->ring.room() >= s->room_wanted)
            s->cv.notify_all();
        return static_cast<ssize_t>(n);
    }
    if (s->cancelled || (s->finished && s->failed))
        return MHD_CONTENT_READER_END_WITH_ERROR;
    if (s->finished)
        return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing yet: the connection waits, off the pool thread, until the
    // transfer brings bytes or ends.
    s->suspended = true;
    MHD_suspend_connection(s->conn);
    return 0;
}

void proxy::stream::done(void *self) {
    auto *s = static_cast<stream *>(self);
    {
        std::lock_guard<std::mutex> hold(s->m);
        s->cancelled = true;
        s->conn = nullptr;
        s->suspended = false;
        s->cv.notify_all();
    }
    s->release();
}

} // namespace cli
