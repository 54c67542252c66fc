// libcurl behind the library's transport table. Every exchange gets its own
// easy handle, so concurrent requests never share curl state; only the
// read-only option values held by curl_transport are shared.
#include "curl_io.h"
#include "output.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace cli {
namespace {

constexpr const char kBearerMarker[] = "#NIMBUS-BEARER:";
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

struct sink {
    std::string data;
    bool too_large = false;
};

size_t on_data(char *ptr, size_t size, size_t n, void *user) {
    sink *s = static_cast<sink *>(user);
    size_t bytes = size * n;
    if (bytes > kMaxAnswer - s->data.size()) {
        s->too_large = true;
        return 0; // makes curl stop with CURLE_WRITE_ERROR
    }
    try {
        s->data.append(ptr, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

// A bearer token goes into a header line; refuse anything that could end it.
bool header_safe(const std::string &value) {
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

struct easy_guard {
    CURL *h = nullptr;
    curl_slist *headers = nullptr;
    ~easy_guard() {
        curl_slist_free_all(headers);
        if (h)
            curl_easy_cleanup(h);
    }
};

bool add_header(curl_slist **list, const std::string &line) {
    curl_slist *next = curl_slist_append(*list, line.c_str());
    if (!next)
        return false;
    *list = next;
    return true;
}

int fail(char **error, const std::string &text) {
    *error = copy_c(text);
    return -1;
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

curl_transport::curl_transport(curl_settings settings) : settings_(std::move(settings)) {
    global_init();
    for (const std::string &rule : settings_.connect_to) {
        curl_slist *next = curl_slist_append(connect_to_, rule.c_str());
        if (!next)
            throw std::bad_alloc();
        connect_to_ = next;
    }
    user_agent_ = std::string("nimbus/") + nimbus_version();
    io_.ctx = this;
    io_.get = f_get;
    io_.post = f_post;
    io_.free = nullptr; // texts come from malloc; the library frees them with free()
}

curl_transport::~curl_transport() {
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
    std::string target(url);
    std::string token;
    if (!body) {
        size_t at = target.find(kBearerMarker);
        if (at != std::string::npos) {
            token = target.substr(at + sizeof kBearerMarker - 1);
            target.resize(at);
        }
    }
    if (!header_safe(token))
        return fail(error, "the access token holds control characters");

    easy_guard g;
    g.h = curl_easy_init();
    if (!g.h)
        return fail(error, "curl_easy_init failed");
    char errbuf[CURL_ERROR_SIZE] = {0};
    sink got;

    bool ok = add_header(&g.headers, "Accept: application/json");
    if (!token.empty())
        ok = ok && add_header(&g.headers, "Authorization: Bearer " + token);
    if (body) {
        const char *type = content_type ? content_type : "application/x-www-form-urlencoded";
        ok =
            ok && header_safe(type) && add_header(&g.headers, std::string("Content-Type: ") + type);
        ok = ok && add_header(&g.headers, "Expect:");
    }
    if (!ok)
        return fail(error, "cannot build the request headers");

    CURL *h = g.h;
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, g.headers);
    curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent_.c_str());
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, ""); // every encoding curl decodes, gzip included
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);  // a redirect is an answer, not a hop
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
#else
    curl_easy_setopt(h, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!settings_.cacert.empty())
        curl_easy_setopt(h, CURLOPT_CAINFO, settings_.cacert.c_str());
    if (connect_to_)
        curl_easy_setopt(h, CURLOPT_CONNECT_TO, connect_to_);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, settings_.connect_timeout_s);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, settings_.timeout_s);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_data);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &got);
    if (body) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(std::strlen(body)));
    }

    auto start = std::chrono::steady_clock::now();
    CURLcode rc = curl_easy_perform(h);
    long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
    long code = 0;
    if (rc == CURLE_OK)
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);

    std::string why;
    if (rc != CURLE_OK)
        why = got.too_large ? "the answer is larger than 64 MiB"
                            : (errbuf[0] ? errbuf : curl_easy_strerror(rc));
    if (settings_.verbose) {
        std::string shown = printable(nimbus_redact(target.c_str()));
        std::lock_guard<std::mutex> lock(g_log_lock);
        if (rc == CURLE_OK)
            std::fprintf(stderr, "%s %s %ld %ld ms\n", method, shown.c_str(), code, ms);
        else
            std::fprintf(stderr, "%s %s failed (%s) %ld ms\n", method, shown.c_str(),
                         printable(why).c_str(), ms);
    }
    if (rc != CURLE_OK)
        return fail(error, why);

    *answer = copy_c(got.data);
    if (!*answer)
        return -1;
    *status = static_cast<int32_t>(code);
    return 0;
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

} // namespace cli
