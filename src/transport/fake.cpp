// The in-process fake transport: a transport table whose GET and POST answer
// from scripted routes, plus the exports that script and inspect it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "text/text.h"
#include "transport/transport.h"

namespace {

// One scripted (method, URL) pair; every text is owned by the table.
struct route {
    char *method;
    char *url;       // compared byte for byte, never with the bearer marker
    char *body;      // answer on a hit; null while a failure is set
    char *fail;      // when set, every hit fails with this error text
    char *last_body; // request body of the last POST that hit the route
    int status;      // 0 on a failure route
    int hits;
};

// The route table, its counters and the last URL, all under g_fl.
std::mutex g_fl;
route *g_r;
size_t g_n;
size_t g_cap;
int g_total;
char *g_last_url;
char *g_last_headers; // the header markers of the last request, one "Name: value" a line

// Longest URL part before the bearer marker that is used as a route key.
constexpr size_t KEY_MAX = 8199;
constexpr const char *NOT_FOUND = "The requested resource could not be found.";

int f_get(void *ctx, const char *url, char **body, int32_t *status, char **error);
int f_post(void *ctx, const char *url, const char *body, const char *content_type, char **answer,
           int32_t *status, char **error);

// Its answers are malloc'd, so the table needs no free callback.
const nimbus_io g_fake = {nullptr, f_get, f_post, nullptr};

int fake_do(const char *method, const char *url, const char *req_body, char **body, int32_t *status,
            char **error);
bool method_ok(const char *method);
route *find(const char *method, const char *url, size_t len);
route *upsert(const char *method, const char *url);
int script(const char *method, const char *url, int status, char *route::*field, const char *text);
const char *hand_out(char *copy);
size_t key_len(const char *url);
char *headers_of(const char *url, size_t key);

} // namespace

const nimbus_io *nimbus_io_fake() {
    return &g_fake;
}

// ---- Exports -------------------------------------------------------------

int nimbus_use_fake(void) {
    nimbus_io_select(&g_fake);
    return NIMBUS_OK;
}

void nimbus_fake_reset(void) {
    std::lock_guard<std::mutex> lock(g_fl);
    for (size_t i = 0; i < g_n; i++) {
        route &r = g_r[i];
        std::free(r.method);
        std::free(r.url);
        std::free(r.body);
        std::free(r.fail);
        std::free(r.last_body);
    }
    std::free(g_r);
    g_r = nullptr;
    g_n = 0;
    g_cap = 0;
    g_total = 0;
    std::free(g_last_url);
    g_last_url = nullptr;
    std::free(g_last_headers);
    g_last_headers = nullptr;
}

int nimbus_fake_set(const char *method, const char *url, int status, const char *body) {
    return script(method, url, status, &route::body, body ? body : "");
}

int nimbus_fake_fail(const char *method, const char *url, const char *message) {
    return script(method, url, 0, &route::fail, message ? message : "connection refused");
}

int nimbus_fake_calls(const char *method, const char *url) {
    std::lock_guard<std::mutex> lock(g_fl);
    if (!url)
        return g_total;
    int n = 0;
    for (size_t i = 0; i < g_n; i++) {
        const route &r = g_r[i];
        if (std::strcmp(r.url, url) == 0 && (!method || std::strcmp(r.method, method) == 0))
            n += r.hits;
    }
    return n;
}

const char *nimbus_fake_last_body(const char *url) {
    char *copy = nullptr;
    if (url) {
        std::lock_guard<std::mutex> lock(g_fl);
        const route *r = find("POST", url, std::strlen(url));
        if (r && r->last_body)
            copy = nimbus_strdup(r->last_body);
    }
    return hand_out(copy);
}

const char *nimbus_fake_last_url(void) {
    char *copy;
    {
        std::lock_guard<std::mutex> lock(g_fl);
        copy = nimbus_strdup(g_last_url ? g_last_url : "");
    }
    return hand_out(copy);
}

const char *nimbus_fake_last_headers(void) {
    char *copy;
    {
        std::lock_guard<std::mutex> lock(g_fl);
        copy = nimbus_strdup(g_last_headers ? g_last_headers : "");
    }
    return hand_out(copy);
}

namespace {

// ---- Transport callbacks -------------------------------------------------

int f_get(void *, const char *url, char **body, int32_t *status, char **error) {
    return fake_do("GET", url, nullptr, body, status, error);
}

int f_post(void *, const char *url, const char *body, const char *, char **answer, int32_t *status,
           char **error) {
    return fake_do("POST", url, body ? body : "", answer, status, error);
}

// Answers one request from the routes. Everything handed out is a fresh copy,
// so g_fl is never held while the caller uses an answer.
int fake_do(const char *method, const char *url, const char *req_body, char **body, int32_t *status,
            char **error) {
    *body = nullptr;
    *error = nullptr;
    *status = 0;
    if (!url) {
        *error = nimbus_strdup("null url");
        return -1;
    }
    // The token behind the marker never reaches a route key or the last URL,
    // nor do the header markers in front of it.
    size_t len = key_len(url);
    char *headers = headers_of(url, len);
    if (url[len] != '\0' && len > KEY_MAX)
        len = KEY_MAX;
    char *last = nimbus_strndup(url, len);
    char *old_last;
    char *old_headers;
    char *copy = nullptr;
    bool failed = false;
    {
        std::lock_guard<std::mutex> lock(g_fl);
        g_total++;
        old_last = g_last_url;
        g_last_url = last;
        old_headers = g_last_headers;
        g_last_headers = headers;
        if (route *r = find(method, url, len)) {
            r->hits++;
            if (req_body) {
                std::free(r->last_body);
                r->last_body = nimbus_strdup(req_body);
            }
            if (r->fail) {
                *error = nimbus_strdup(r->fail);
                failed = true;
            } else {
                *status = r->status;
                copy = nimbus_strdup(r->body);
            }
        } else {
            *status = 404;
            copy = nimbus_strdup(NOT_FOUND);
        }
    }
    std::free(old_last);
    std::free(old_headers);
    if (failed)
        return -1;
    if (!copy) {
        *error = nimbus_strdup("out of memory");
        return -1;
    }
    *body = copy;
    return 0;
}

// Where the request URL ends: at the first marker of either kind.
size_t key_len(const char *url) {
    size_t len = std::strlen(url);
    for (const char *marker : {NIMBUS_BEARER_MARKER, NIMBUS_HEADER_MARKER}) {
        const char *mark = std::strstr(url, marker);
        if (mark && static_cast<size_t>(mark - url) < len)
            len = static_cast<size_t>(mark - url);
    }
    return len;
}

// The header markers between the request URL (key bytes) and the bearer
// marker, one "Name: value" a line; null when there are none (or no memory).
char *headers_of(const char *url, size_t key) {
    const char *p = url + key;
    const char *bearer = std::strstr(p, NIMBUS_BEARER_MARKER);
    const char *end = bearer ? bearer : p + std::strlen(p);
    const size_t mark = std::strlen(NIMBUS_HEADER_MARKER);
    nimbus_buf out{};
    int bad = 0;
    while (p < end && std::strncmp(p, NIMBUS_HEADER_MARKER, mark) == 0) {
        p += mark;
        const char *next = std::strstr(p, NIMBUS_HEADER_MARKER);
        const char *stop = next && next < end ? next : end;
        if (out.len)
            bad |= nimbus_buf_adds(&out, "\n");
        bad |= nimbus_buf_add(&out, p, static_cast<size_t>(stop - p));
        p = stop;
    }
    if (bad != 0) {
        nimbus_buf_free(&out);
        return nullptr;
    }
    return out.data;
}

bool method_ok(const char *method) {
    return method && (std::strcmp(method, "GET") == 0 || std::strcmp(method, "POST") == 0);
}

// The route of method and the first len bytes of url; g_fl held.
route *find(const char *method, const char *url, size_t len) {
    for (size_t i = 0; i < g_n; i++) {
        route &r = g_r[i];
        if (std::strcmp(r.method, method) == 0 && std::strncmp(r.url, url, len) == 0 &&
            r.url[len] == '\0')
            return &r;
    }
    return nullptr;
}

// Scripts one route: its status and either its answer body or its failure
// text (field), replacing whatever was scripted for it before.
int script(const char *method, const char *url, int status, char *route::*field, const char *text) {
    if (!method_ok(method) || !url)
        return NIMBUS_E_INVALID;
    std::lock_guard<std::mutex> lock(g_fl);
    route *r = upsert(method, url);
    if (!r)
        return NIMBUS_E_BUFFER;
    r->status = status;
    r->*field = nimbus_strdup(text);
    return r->*field ? NIMBUS_OK : NIMBUS_E_BUFFER;
}

// The route of method and url with its answer and failure cleared, or a new
// empty route; null when memory runs out. g_fl held.
route *upsert(const char *method, const char *url) {
    if (route *r = find(method, url, std::strlen(url))) {
        std::free(r->body);
        std::free(r->fail);
        r->body = nullptr;
        r->fail = nullptr;
        return r;
    }
    if (g_n == g_cap) {
        size_t cap = g_cap ? g_n * 2 : 32;
        if (cap > SIZE_MAX / sizeof(route))
            return nullptr;
        auto *grown = static_cast<route *>(std::realloc(g_r, cap * sizeof(route)));
        if (!grown)
            return nullptr;
        g_r = grown;
        g_cap = cap;
    }
    char *m = nimbus_strdup(method);
    char *u = nimbus_strdup(url);
    if (!m || !u) {
        std::free(m);
        std::free(u);
        return nullptr;
    }
    route &r = g_r[g_n++];
    r = route{};
    r.method = m;
    r.url = u;
    return &r;
}

// Replaces this thread's handed-out text by copy and returns it ("" for none).
const char *hand_out(char *copy) {
    nimbus_tls_set(NIMBUS_TLS_FAKE, copy);
    return copy ? copy : "";
}

} // namespace
