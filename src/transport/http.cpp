// The host's transport table: its process-wide selection and the one HTTP
// exchange the rest of the library makes through a table.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <yyjson.h>

#include "text/text.h"
#include "transport/transport.h"

namespace {

// The table the flat requests use, kept as a copy; readers copy it out
// under g_io_lock, so a concurrent selection can never hand them a
// half-written table. Without one, the built-in transport serves.
std::mutex g_io_lock;
bool g_io_set;
nimbus_io g_io;

void release(const nimbus_io *io, char *text);
void fail_msg(const char *method, const char *url, const char *error, char *msg, size_t size);

} // namespace

// ---- Exports -------------------------------------------------------------

int nimbus_set_io(const nimbus_io *io) {
    if (io && (!io->get || !io->post))
        return NIMBUS_E_INVALID;
    nimbus_io_select(io);
    return NIMBUS_OK;
}

int nimbus_use_curl(void) {
    if (!nimbus_io_curl())
        return NIMBUS_E_UNSUPPORTED;
    nimbus_io_select(nullptr);
    return NIMBUS_OK;
}

// ---- Selection -----------------------------------------------------------

void nimbus_io_select(const nimbus_io *io) {
    std::lock_guard<std::mutex> lock(g_io_lock);
    g_io_set = io != nullptr;
    g_io = io ? *io : nimbus_io{};
}

int nimbus_io_current(nimbus_io *out) {
    if (!out)
        return 0;
    std::lock_guard<std::mutex> lock(g_io_lock);
    const nimbus_io *sel = g_io_set ? &g_io : nimbus_io_curl();
    if (!sel) {
        *out = nimbus_io{};
        return 0;
    }
    *out = *sel;
    return 1;
}

const nimbus_io *nimbus_io_curl() {
    return nullptr;
}

// ---- The exchange --------------------------------------------------------

void nimbus_resp_free(nimbus_resp *resp) {
    if (!resp)
        return;
    std::free(resp->body);
    *resp = nimbus_resp{};
}

int nimbus_http(const nimbus_io *io, const char *url, const char *body, const char *content_type,
                const char *access_token, nimbus_resp *resp, char *msg, size_t size) {
    return nimbus_http_with(io, url, body, content_type, access_token, nullptr, resp, msg, size);
}

bool nimbus_headers_ok(const char *headers) {
    if (!headers)
        return true;
    const char *p = headers;
    while (*p) {
        const char *name = p;
        // ASCII only, whatever locale the host set.
        while ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ||
               *p == '-')
            p++;
        if (p == name || p[0] != ':' || p[1] != ' ')
            return false;
        p += 2;
        while (*p && *p != '\n') {
            auto c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c > 0x7E || c == '#')
                return false;
            p++;
        }
        if (*p == '\n' && *++p == '\0')
            return false; // no empty line, not even a last one
    }
    return true;
}

int nimbus_http_with(const nimbus_io *io, const char *url, const char *body,
                     const char *content_type, const char *access_token, const char *headers,
                     nimbus_resp *resp, char *msg, size_t size) {
    *resp = nimbus_resp{};
    if (!io || !io->get || !io->post) {
        nimbus_msgf(msg, size, "no transport");
        return -1;
    }
    if (!url) {
        nimbus_msgf(msg, size, "no request URL");
        return -1;
    }
    if (std::strlen(url) > NIMBUS_URL_MAX) {
        nimbus_msgf(msg, size, "request URL longer than 8 KiB");
        return -1;
    }

    bool marked = !body && headers;
    if (marked && !nimbus_headers_ok(headers)) {
        nimbus_msgf(msg, size, "a request header is not safe to send");
        return -1;
    }

    const char *method = body ? "POST" : "GET";
    char *answer = nullptr;
    char *error = nullptr;
    int32_t status = 0;
    int rc;
    if (body) {
        rc = io->post(io->ctx, url, body, content_type ? content_type : NIMBUS_FORM_TYPE, &answer,
                      &status, &error);
    } else if ((access_token && *access_token) || marked) {
        // The token travels behind the marker, whole: the URL is built to its
        // exact length, however long the token is. Header markers come first,
        // so the token stays the text after the first bearer marker.
        nimbus_buf full{};
        nimbus_buf_guard guard{&full};
        const char *cut = marked ? std::strchr(url, '#') : nullptr;
        int bad =
            nimbus_buf_add(&full, url, cut ? static_cast<size_t>(cut - url) : std::strlen(url));
        for (const char *line = marked ? headers : nullptr; line && *line;) {
            const char *end = std::strchr(line, '\n');
            size_t n = end ? static_cast<size_t>(end - line) : std::strlen(line);
            bad |= nimbus_buf_adds(&full, NIMBUS_HEADER_MARKER);
            bad |= nimbus_buf_add(&full, line, n);
            line = end ? end + 1 : nullptr;
        }
        if (access_token && *access_token) {
            bad |= nimbus_buf_adds(&full, NIMBUS_BEARER_MARKER);
            bad |= nimbus_buf_adds(&full, access_token);
        }
        if (bad != 0) {
            nimbus_msgf(msg, size, "out of memory");
            return -1;
        }
        rc = io->get(io->ctx, full.data, &answer, &status, &error);
    } else {
        rc = io->get(io->ctx, url, &answer, &status, &error);
    }

    if (rc != 0 || !answer) {
        // The message quotes the caller's URL, never the text with the token.
        fail_msg(method, url, error ? error : "transport failure", msg, size);
        release(io, answer);
        release(io, error);
        return -1;
    }

    release(io, error);
    // The copy carries zero padding beyond the NUL, so the JSON reader can
    // parse it in place. A body on the standard heap (a table without its own
    // free callback must allocate so) is adopted and only resized.
    size_t len = std::strlen(answer);
    size_t room = len + 1 + YYJSON_PADDING_SIZE;
    char *copy;
    if (!io->free) {
        copy = static_cast<char *>(std::realloc(answer, room));
        if (!copy)
            std::free(answer);
    } else {
        copy = static_cast<char *>(std::malloc(room));
        if (copy)
            std::memcpy(copy, answer, len);
        release(io, answer);
    }
    if (!copy) {
        nimbus_msgf(msg, size, "out of memory");
        return -1;
    }
    std::memset(copy + len, 0, room - len);
    resp->status = status;
    resp->body = copy;
    resp->len = len;
    return 0;
}

namespace {

// Hands a text the transport stored back the way the table asks.
void release(const nimbus_io *io, char *text) {
    if (!text)
        return;
    if (io->free)
        io->free(io->ctx, text);
    else
        std::free(text);
}

void fail_msg(const char *method, const char *url, const char *error, char *msg, size_t size) {
    char masked[NIMBUS_URL_MSG];
    char line[NIMBUS_LINE_MSG];
    nimbus_redact_into(url, masked, sizeof masked);
    nimbus_body_line(error, line, sizeof line);
    nimbus_msgf(msg, size, "%s %s: %s", method, masked, line);
}

} // namespace
