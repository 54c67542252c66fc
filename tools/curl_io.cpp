// libcurl behind the library's transport table. Easy handles come from a
// pool and go back after each exchange, so a listing's requests reuse one
// connection per host (keep-alive, HTTP/2 where libcurl offers it) while
// concurrent requests still never share a handle. Throttled (429, 503, 504)
// and lost exchanges are repeated. A 429 or 503 pauses every request of the
// account (throttle.h) for the service's Retry-After or a backoff; a 504 or
// a lost answer only its own exchange, after an exponential backoff with
// full jitter. While the service's RateLimit headers say its budget is
// nearly spent, requests are spread over what is left of its window.
#include "curl_io.h"
#include "output.h"
#include "signals.h"
#include "text.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <random>

namespace cli {

// One perform's outcome.
struct curl_transport::attempt {
    CURLcode rc = CURLE_OK;
    long status = 0;
    std::string data;
    bool too_large = false;
    bool clipped = false;    // its time limit is what was left of --max-time
    std::string retry_after; // the answer's Retry-After header, as sent
    std::string budget[3];   // its RateLimit-Limit, -Remaining and -Reset, as sent
    char errbuf[CURL_ERROR_SIZE] = {0};
    long ms = 0;
};

namespace {

using clock = std::chrono::steady_clock;

constexpr const char kBearerMarker[] = NIMBUS_BEARER_MARKER;
constexpr const char kHeaderMarker[] = NIMBUS_HEADER_MARKER;
constexpr size_t kMaxAnswer = 64u << 20; // a children page is a few hundred KiB at most

std::once_flag g_init_once;
CURLcode g_init_rc = CURLE_FAILED_INIT;
std::mutex g_log_lock; // keeps verbose lines whole when requests run concurrently

void global_init() {
    std::call_once(g_init_once, [] { g_init_rc = curl_global_init(CURL_GLOBAL_DEFAULT); });
}

char *copy_c(const char *text, size_t len) {
    char *p = static_cast<char *>(std::malloc(len + 1));
    if (p) {
        std::memcpy(p, text, len);
        p[len] = 0;
    }
    return p;
}

char *copy_c(const std::string &text) {
    return copy_c(text.data(), text.size());
}

size_t on_data(char *ptr, size_t size, size_t n, void *user) {
    auto *a = static_cast<curl_transport::attempt *>(user);
    size_t bytes = size * n;
    if (bytes > kMaxAnswer - a->data.size()) {
        a->too_large = true;
        return 0; // makes curl stop with CURLE_WRITE_ERROR
    }
    try {
        a->data.append(ptr, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

// Whether a header line begins with `name` (lower case, with its colon).
bool header_named(const char *line, size_t len, const char *name) {
    size_t i = 0;
    for (; name[i]; i++)
        if (i >= len || std::tolower(static_cast<unsigned char>(line[i])) != name[i])
            return false;
    return len > i;
}

// Keeps the pause headers of the last answer's header block.
size_t on_header(char *ptr, size_t size, size_t n, void *user) {
    auto *a = static_cast<curl_transport::attempt *>(user);
    size_t bytes = size * n;
    struct kept {
        const char *name;
        std::string *value;
    } const keep[] = {{"retry-after:", &a->retry_after},
                      {"ratelimit-limit:", &a->budget[0]},
                      {"ratelimit-remaining:", &a->budget[1]},
                      {"ratelimit-reset:", &a->budget[2]}};
    if (bytes >= 5 && std::strncmp(ptr, "HTTP/", 5) == 0) {
        for (const kept &k : keep)
            k.value->clear(); // a new answer begins
    } else if (bytes < 200) {
        for (const kept &k : keep) {
            if (!header_named(ptr, bytes, k.name))
                continue;
            size_t name_len = std::strlen(k.name);
            try {
                k.value->assign(ptr + name_len, bytes - name_len);
            } catch (...) {
                k.value->clear();
            }
        }
    }
    return bytes;
}

// Seconds a Retry-After value asks for: delay-seconds or an HTTP date.
bool retry_after_seconds(const std::string &raw, double *seconds) {
    size_t b = raw.find_first_not_of(" \t\r\n");
    size_t e = raw.find_last_not_of(" \t\r\n");
    if (b == std::string::npos)
        return false;
    std::string v = raw.substr(b, e - b + 1);
    if (v.find_first_not_of("0123456789") == std::string::npos) {
        *seconds = v.size() > 9 ? 1e9 : std::strtod(v.c_str(), nullptr);
        return true;
    }
    time_t when = curl_getdate(v.c_str(), nullptr);
    if (when == static_cast<time_t>(-1))
        return false;
    double delta = std::difftime(when, std::time(nullptr));
    *seconds = delta > 0 ? delta : 0;
    return true;
}

// A GET that got no answer is worth repeating; these are the ways of
// getting none (a refused certificate or an oversized answer are not).
bool lost_answer(CURLcode rc) {
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

// A POST is repeated only when its body certainly never left: a token
// grant whose answer was lost may already have rotated the refresh token.
bool never_sent(CURLcode rc) {
    return rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_CONNECT ||
           rc == CURLE_SSL_CONNECT_ERROR;
}

// A draw from [0, 1).
double jitter() {
    thread_local std::mt19937 rng{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng);
}

// Full jitter: anywhere from 0 to 1 s, 2 s, 4 s, ... (capped) before retry n.
double backoff_seconds(int retry) {
    double window = std::ldexp(1.0, retry - 1 < 10 ? retry - 1 : 10);
    if (window > kMaxBackoff)
        window = kMaxBackoff;
    return window * jitter();
}

double seconds_of(clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

clock::duration to_duration(double seconds) {
    return std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
}

struct slist_guard {
    curl_slist *list = nullptr;
    ~slist_guard() { curl_slist_free_all(list); }
};

bool add_header(curl_slist **list, const std::string &line) {
    curl_slist *next = curl_slist_append(*list, line.c_str());
    if (!next)
        return false;
    *list = next;
    return true;
}

// "Name: value": a name of letters, digits and '-', a value without
// control characters (so nothing can end the line early).
bool header_line_ok(const std::string &line) {
    size_t colon = line.find(": ");
    if (colon == 0 || colon == std::string::npos || has_control(line))
        return false;
    for (size_t i = 0; i < colon; i++) {
        char c = line[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-'))
            return false;
    }
    for (char c : line)
        if (static_cast<unsigned char>(c) > 0x7e)
            return false; // the library sends printable ASCII only
    return true;
}

// Sets options until the first one curl refuses, and remembers which.
struct option_setter {
    CURL *h;
    CURLcode rc = CURLE_OK;
    const char *refused = nullptr;
    template <typename T> void set(CURLoption option, T value, const char *name) {
        if (rc != CURLE_OK)
            return;
        rc = curl_easy_setopt(h, option, value);
        if (rc != CURLE_OK)
            refused = name;
    }
};
#define SET(setter, option, value) (setter).set(option, value, #option)

int fail(char **error, const std::string &text) {
    *error = copy_c(text);
    return -1;
}

// Whole seconds, rounded up, as a wait is announced and handed on.
long whole_seconds(double s) {
    return s < 1 ? 1 : s > 86400 ? 86400 : static_cast<long>(std::ceil(s));
}

std::string seconds_text(double s) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f s", s);
    return b;
}

std::string max_time_text(double s) {
    char b[64];
    std::snprintf(b, sizeof b, "the --max-time of %g s ran out", s);
    return b;
}

// Why an exchange got no answer, in the words the user sees.
std::string failure_text(const curl_transport::attempt &a, double max_time_s) {
    if (a.too_large)
        return "the answer is larger than 64 MiB";
    if (a.clipped && a.rc == CURLE_OPERATION_TIMEDOUT)
        return max_time_text(max_time_s);
    if (a.rc == CURLE_ABORTED_BY_CALLBACK && interrupted())
        return "interrupted";
    return a.errbuf[0] ? a.errbuf : curl_easy_strerror(a.rc);
}

// Why a request waits for the account's pause or turn, for -v.
std::string pause_reason(account_pauses::cause cause, int status) {
    if (cause == account_pauses::cause::budget)
        return "the service's request budget is nearly spent (RateLimit)";
    return "another request got HTTP " + std::to_string(status) +
           (cause == account_pauses::cause::asked ? " (Retry-After)" : " (backoff)");
}

// Why a request that will not wait that long fails instead.
std::string refused_pause(account_pauses::cause cause, long seconds) {
    const std::string s = std::to_string(seconds) + " s";
    switch (cause) {
    case account_pauses::cause::asked:
        return "the service asked for a pause of " + s;
    case account_pauses::cause::backoff:
        return "the service is throttling requests: paused for " + s;
    default:
        return "the service's request budget is nearly spent: next request in " + s;
    }
}

void log_line(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_log_lock);
    std::fprintf(stderr, "%s\n", line.c_str());
}

int f_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    try {
        return static_cast<const curl_transport *>(ctx)->exchange("GET", url, nullptr, nullptr,
                                                                  body, status, error);
    } catch (...) {
        return -1;
    }
}

int f_post(void *ctx, const char *url, const char *body, const char *content_type, char **answer,
           int32_t *status, char **error) {
    try {
        return static_cast<const curl_transport *>(ctx)->exchange(
            "POST", url, body ? body : "", content_type, answer, status, error);
    } catch (...) {
        return -1;
    }
}

} // namespace

// A gateway backs off no longer than it lets a client wait (its clients
// ask again on their own); a Retry-After still holds in full.
curl_transport::curl_transport(curl_settings settings)
    : settings_(std::move(settings)),
      pauses_(settings_.max_wait_s > 0 ? settings_.max_wait_s : kMaxBackoff) {
    global_init();
    for (const std::string &rule : settings_.connect_to) {
        curl_slist *next = curl_slist_append(connect_to_, rule.c_str());
        if (!next) {
            curl_slist_free_all(connect_to_);
            throw std::bad_alloc();
        }
        connect_to_ = next;
    }
    user_agent_ = NIMBUS_USER_AGENT;
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    http2_ = info && (info->features & CURL_VERSION_HTTP2);
    if (settings_.max_time_s > 0) {
        has_deadline_ = true;
        deadline_ = settings_.started + std::chrono::duration_cast<clock::duration>(
                                            std::chrono::duration<double>(settings_.max_time_s));
    }
    io_.ctx = this;
    io_.get = f_get;
    io_.post = f_post;
    io_.free = nullptr; // texts come from malloc; the library frees them with free()
}

curl_transport::~curl_transport() {
    for (void *h : idle_)
        curl_easy_cleanup(static_cast<CURL *>(h));
    curl_slist_free_all(connect_to_);
}

int curl_transport::exchange(const char *method, const char *url, const char *body,
                             const char *content_type, char **answer, int32_t *status,
                             char **error) const {
    *answer = nullptr;
    *status = 0;
    *error = nullptr;
    if (!url)
        return fail(error, "no URL");
    if (g_init_rc != CURLE_OK)
        return fail(error,
                    std::string("curl_global_init failed: ") + curl_easy_strerror(g_init_rc));

    // The library appends the access token behind a marker; it travels as a
    // header, never in the request line or in anything we print.
    // Headers the library asks for come in front of it, one marker each
    // (the settings this transport is opened with say it reads them).
    std::string target(url);
    std::string token;
    std::vector<std::string> asked;
    if (!body) {
        size_t at = target.find(kBearerMarker);
        if (at != std::string::npos) {
            token = target.substr(at + sizeof kBearerMarker - 1);
            target.resize(at);
        }
        at = target.find(kHeaderMarker);
        if (at != std::string::npos) {
            std::string rest = target.substr(at);
            target.resize(at);
            const size_t mark = sizeof kHeaderMarker - 1;
            for (size_t p = 0; p < rest.size();) {
                size_t next = rest.find(kHeaderMarker, p + mark);
                asked.push_back(
                    rest.substr(p + mark, next == std::string::npos ? next : next - p - mark));
                p = next == std::string::npos ? rest.size() : next;
            }
        }
    }
    if (has_control(token))
        return fail(error, "the access token holds control characters");
    for (const std::string &line : asked)
        if (!header_line_ok(line))
            return fail(error, "a request header the library asked for is malformed");

    slist_guard headers;
    bool ok = add_header(&headers.list, "Accept: application/json");
    if (!token.empty())
        ok = ok && add_header(&headers.list, "Authorization: Bearer " + token);
    for (const std::string &line : asked)
        ok = ok && add_header(&headers.list, line);
    if (body) {
        const char *type = content_type ? content_type : "application/x-www-form-urlencoded";
        ok = ok && !has_control(type) &&
             add_header(&headers.list, std::string("Content-Type: ") + type);
        ok = ok && add_header(&headers.list, "Expect:");
    }
    if (!ok)
        return fail(error, "cannot build the request headers");

    struct lease {
        const curl_transport *owner;
        void *h;
        ~lease() {
            if (h)
                owner->give_back(h);
        }
    } handle{this, take_handle()};
    if (!handle.h)
        return fail(error, "curl_easy_init failed");

    const int tries = 1 + (settings_.retries > 0 ? settings_.retries : 0);
    std::string shown; // the redacted URL, made once when needed
    attempt a;
    double waited = 0; // seconds of pauses so far
    for (int n = 1;; n++) {
        std::string why;
        if (interrupted())
            return fail(error, "interrupted");
        if (!pause_for(&why))
            return fail(error, why);
        const clock::time_point sent = clock::now();
        if (!perform(handle.h, method, target, body, headers.list, &a, &why))
            return fail(error, why);
        if (a.rc != CURLE_OK)
            why = failure_text(a, settings_.max_time_s);
        if (settings_.verbose) {
            if (shown.empty())
                shown = printable(nimbus_redact(target.c_str())); // copy: per-thread text
            char line[64];
            if (a.rc == CURLE_OK)
                std::snprintf(line, sizeof line, " %ld %ld ms", a.status, a.ms);
            else
                std::snprintf(line, sizeof line, " %ld ms", a.ms);
            log_line(a.rc == CURLE_OK ? std::string(method) + " " + shown + line
                                      : std::string(method) + " " + shown + " failed (" +
                                            printable(why) + ")" + line);
        }

        // A throttled answer pauses the whole account, whether or not this
        // exchange asks again; any other answer tells the service took it.
        const clock::time_point now = clock::now();
        const bool throttled = a.rc == CURLE_OK && (a.status == 429 || a.status == 503);
        double after = -1;
        const bool asked = a.rc == CURLE_OK && retry_after_seconds(a.retry_after, &after);
        after = asked ? std::min(after, kMaxPause) : -1;
        clock::time_point until = now;
        if (a.rc == CURLE_OK) {
            pauses_.budget(now, read_budget(a.budget[0], a.budget[1], a.budget[2]));
            if (throttled)
                until = pauses_.throttled(static_cast<int>(a.status), sent, now, after, jitter());
            else if (a.status != 504)
                pauses_.answered(sent);
        }

        // Repeat or hand over what came.
        bool get = !body;
        bool again = a.rc == CURLE_OK ? throttled || (a.status == 504 && get)
                                      : (get ? lost_answer(a.rc) : never_sent(a.rc)) &&
                                            !(a.clipped && a.rc == CURLE_OPERATION_TIMEDOUT);
        if (!again || n >= tries)
            break;
        if (!throttled) // a 504 or a lost answer: this exchange's own pause
            until = now + to_duration(asked ? after : backoff_seconds(n));
        const double wait = seconds_of(until - now);
        if (has_deadline_ && until >= deadline_)
            break; // the answer in hand is the last one
        if (settings_.max_wait_s > 0 && waited + wait > settings_.max_wait_s) {
            // Waiting that long is the caller's choice: hand over the
            // answer in hand; the account's pause says how long it lasts.
            break;
        }
        waited += wait;
        if (settings_.announce_waits && !settings_.verbose && wait > 1 &&
            (!throttled || pauses_.first_notice(until))) {
            char line[160];
            std::snprintf(line, sizeof line, "%s: waiting %ld s (attempt %d of %d)",
                          a.rc == CURLE_OK ? "throttled by the service"
                                           : "no answer from the service",
                          whole_seconds(wait), n + 1, tries);
            log_line(line);
        }
        if (settings_.verbose) {
            char line[160];
            if (a.rc == CURLE_OK)
                std::snprintf(line, sizeof line, "HTTP %ld: waiting %s%s before attempt %d of %d",
                              a.status, seconds_text(wait).c_str(), asked ? " (Retry-After)" : "",
                              n + 1, tries);
            else
                std::snprintf(line, sizeof line, "no answer: waiting %s before attempt %d of %d",
                              seconds_text(wait).c_str(), n + 1, tries);
            log_line(line);
        }
        if (!sleep_unless_interrupted(until - clock::now()))
            return fail(error, "interrupted");
    }
    if (a.rc != CURLE_OK)
        return fail(error, failure_text(a, settings_.max_time_s));
    *answer = copy_c(a.data);
    if (!*answer)
        return -1;
    *status = static_cast<int32_t>(a.status);
    return 0;
}

void *curl_transport::take_handle() const {
    {
        std::lock_guard<std::mutex> lock(pool_lock_);
        if (!idle_.empty()) {
            void *h = idle_.back(); // the most recently used: its connections are warm
            idle_.pop_back();
            return h;
        }
    }
    return curl_easy_init();
}

void curl_transport::give_back(void *handle) const {
    std::lock_guard<std::mutex> lock(pool_lock_);
    try {
        idle_.push_back(handle);
    } catch (...) {
        curl_easy_cleanup(static_cast<CURL *>(handle));
    }
}

// One request on a pooled handle: every option set anew (curl_easy_reset
// keeps the handle's open connections, sessions and DNS cache).
bool curl_transport::perform(void *handle, const char *method, const std::string &target,
                             const char *body, const curl_slist *headers, attempt *out,
                             std::string *why) const {
    (void)method;
    CURL *h = static_cast<CURL *>(handle);
    *out = attempt{};
    long timeout_ms = settings_.timeout_s * 1000;
    long connect_ms = settings_.connect_timeout_s * 1000;
    if (has_deadline_) {
        long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - clock::now()).count();
        if (left <= 0) {
            *why = max_time_text(settings_.max_time_s);
            return false;
        }
        if (left < timeout_ms) {
            timeout_ms = static_cast<long>(left);
            out->clipped = true;
        }
        if (left < connect_ms)
            connect_ms = static_cast<long>(left);
    }

    curl_easy_reset(h);
    option_setter o{h};
    SET(o, CURLOPT_URL, target.c_str());
    SET(o, CURLOPT_ERRORBUFFER, out->errbuf);
    SET(o, CURLOPT_NOSIGNAL, 1L);
    SET(o, CURLOPT_HTTPHEADER, const_cast<curl_slist *>(headers));
    SET(o, CURLOPT_USERAGENT, user_agent_.c_str());
    SET(o, CURLOPT_ACCEPT_ENCODING, ""); // every encoding curl decodes, gzip included
    SET(o, CURLOPT_FOLLOWLOCATION, 0L);  // a redirect is an answer, not a hop
#if LIBCURL_VERSION_NUM >= 0x075500
    SET(o, CURLOPT_PROTOCOLS_STR, "https");
#else
    SET(o, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
#endif
    SET(o, CURLOPT_SSL_VERIFYPEER, 1L);
    SET(o, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!settings_.cacert.empty())
        SET(o, CURLOPT_CAINFO, settings_.cacert.c_str());
    if (connect_to_)
        SET(o, CURLOPT_CONNECT_TO, connect_to_);
    if (http2_)
        SET(o, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    SET(o, CURLOPT_TCP_KEEPALIVE, 1L);
    SET(o, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
    SET(o, CURLOPT_TIMEOUT_MS, timeout_ms);
    SET(o, CURLOPT_WRITEFUNCTION, on_data);
    SET(o, CURLOPT_WRITEDATA, out);
    SET(o, CURLOPT_HEADERFUNCTION, on_header);
    SET(o, CURLOPT_HEADERDATA, out);
    SET(o, CURLOPT_NOPROGRESS, 0L);
    SET(o, CURLOPT_XFERINFOFUNCTION, end_when_interrupted);
    if (body) {
        // A POST goes out on a new connection that is closed afterwards:
        // curl silently resends a request whose reused connection died
        // before any answer, and a token grant must never be sent twice.
        SET(o, CURLOPT_FRESH_CONNECT, 1L);
        SET(o, CURLOPT_FORBID_REUSE, 1L);
        SET(o, CURLOPT_POST, 1L);
        SET(o, CURLOPT_POSTFIELDS, body);
        SET(o, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(std::strlen(body)));
    } else {
        SET(o, CURLOPT_HTTPGET, 1L);
    }
    if (o.rc != CURLE_OK) {
        *why = std::string("libcurl refused ") + o.refused + ": " + curl_easy_strerror(o.rc);
        return false;
    }

    auto start = clock::now();
    out->rc = curl_easy_perform(h);
    out->ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count());
    if (out->rc == CURLE_OK &&
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &out->status) != CURLE_OK)
        out->status = 0;
    return true;
}

// Waits while the account is paused, then for this request's turn while
// the service's budget is nearly spent (and again if a pause began
// meanwhile: the turn is taken once).
bool curl_transport::pause_for(std::string *why) const {
    bool turn_taken = false;
    for (;;) {
        account_pauses::cause cause = account_pauses::cause::none;
        int status = 0;
        const clock::time_point now = clock::now();
        clock::time_point until = pauses_.held(&cause, &status);
        if (until - now < std::chrono::milliseconds(1)) {
            if (turn_taken)
                return true;
            turn_taken = true;
            clock::duration longest = clock::duration::max();
            if (settings_.max_wait_s > 0)
                longest = to_duration(settings_.max_wait_s);
            if (has_deadline_ && deadline_ - now < longest)
                longest = deadline_ - now;
            until = pauses_.turn(now, longest);
            cause = account_pauses::cause::budget;
            if (until - now < std::chrono::milliseconds(1))
                return true;
        }
        if (!wait_until(until, cause, status, why))
            return false;
    }
}

long curl_transport::paused_for() const {
    const double left = seconds_of(pauses_.left(clock::now()));
    return left > 0 ? whole_seconds(left) : 0;
}

// One wait of pause_for, said as -v and a terminal want it.
bool curl_transport::wait_until(clock::time_point until, account_pauses::cause cause, int status,
                                std::string *why) const {
    using reason = account_pauses::cause;
    if (has_deadline_ && until >= deadline_) {
        *why = max_time_text(settings_.max_time_s);
        return false;
    }
    const double seconds = seconds_of(until - clock::now());
    if (settings_.max_wait_s > 0 && seconds > settings_.max_wait_s) {
        *why = refused_pause(cause, whole_seconds(seconds));
        return false;
    }
    if (settings_.verbose) {
        log_line("waiting " + seconds_text(seconds) + ": " + pause_reason(cause, status));
    } else if (settings_.announce_waits && seconds > 1 && pauses_.first_notice(until)) {
        log_line(std::string(cause == reason::budget
                                 ? "the service's request budget is nearly spent"
                                 : "throttled by the service") +
                 ": waiting " + std::to_string(whole_seconds(seconds)) + " s");
    }
    if (!sleep_unless_interrupted(until - clock::now())) {
        *why = "interrupted";
        return false;
    }
    return true;
}

void curl_shutdown() {
    if (g_init_rc == CURLE_OK) {
        curl_global_cleanup();
        g_init_rc = CURLE_FAILED_INIT;
    }
}

const char *curl_version_text() {
    return curl_version();
}

int end_when_interrupted(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return interrupted() ? 1 : 0; // non-zero aborts the transfer
}

} // namespace cli
