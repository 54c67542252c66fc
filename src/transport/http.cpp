// The host's transport table: its process-wide selection and the one HTTP
// exchange the rest of the library makes through a table.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <yyjson.h>

#include "text/text.h"
#include "transport/transport.h"

namespace {

// Which table the flat requests use. The host's table is kept as a copy in
// g_user_io; readers copy the selected table out under g_io_lock, so a
// concurrent nimbus_set_io can never hand them a half-written table.
enum class io_sel { none, user, fake };

std::mutex g_io_lock;
io_sel g_io = io_sel::none;
nimbus_io g_user_io;

void release(const nimbus_io *io, char *text);
bool from_malloc(const nimbus_io *io);
void fail_msg(const char *method, const char *url, const char *error, char *msg, size_t size);

} // namespace

// ---- Exports -------------------------------------------------------------

int nimbus_set_io(const nimbus_io *io) {
    if (io && (!io->get || !io->post))
        return NIMBUS_E_INVALID;
    std::lock_guard<std::mutex> lock(g_io_lock);
    if (!io) {
        g_user_io = nimbus_io{};
        g_io = io_sel::none;
        return NIMBUS_OK;
    }
    g_user_io = *io;
    g_io = io_sel::user;
    return NIMBUS_OK;
}

int nimbus_use_curl(void) {
    if (!nimbus_io_curl())
        return NIMBUS_E_UNSUPPORTED;
    std::lock_guard<std::mutex> lock(g_io_lock);
    g_io = io_sel::none;
    return NIMBUS_OK;
}

// ---- Selection -----------------------------------------------------------

int nimbus_io_current(nimbus_io *out) {
    if (!out)
        return 0;
    std::lock_guard<std::mutex> lock(g_io_lock);
    const nimbus_io *sel = nullptr;
    switch (g_io) {
    case io_sel::user:
        sel = &g_user_io;
        break;
    case io_sel::fake:
        sel = nimbus_io_fake();
        break;
    case io_sel::none:
        sel = nimbus_io_curl();
        break;
    }
    if (!sel) {
        *out = nimbus_io{};
        return 0;
    }
    *out = *sel;
    return 1;
}

void nimbus_io_select_fake() {
    std::lock_guard<std::mutex> lock(g_io_lock);
    g_io = io_sel::fake;
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

    const char *method = body ? "POST" : "GET";
    char *answer = nullptr;
    char *error = nullptr;
    int32_t status = 0;
    int rc;
    if (body) {
        rc = io->post(io->ctx, url, body, content_type ? content_type : NIMBUS_FORM_TYPE, &answer, &status,
                      &error);
    } else if (access_token && *access_token) {
        // The token travels behind the marker, whole: the URL is built to its
        // exact length, however long the token is.
        nimbus_buf full{};
        nimbus_buf_guard guard{&full};
        if (nimbus_buf_adds(&full, url) != 0 || nimbus_buf_adds(&full, NIMBUS_BEARER_MARKER) != 0 ||
            nimbus_buf_adds(&full, access_token) != 0) {
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
    // free callback must allocate so, and the fake transport does) is adopted
    // and only resized.
    size_t len = std::strlen(answer);
    size_t room = len + 1 + YYJSON_PADDING_SIZE;
    char *copy;
    if (from_malloc(io)) {
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

// True when the texts a table hands over come from malloc.
bool from_malloc(const nimbus_io *io) {
    return !io->free || io->free == nimbus_io_fake()->free;
}

void fail_msg(const char *method, const char *url, const char *error, char *msg, size_t size) {
    char masked[NIMBUS_URL_MSG];
    char line[NIMBUS_LINE_MSG];
    nimbus_redact_into(url, masked, sizeof masked);
    nimbus_body_line(error, line, sizeof line);
    nimbus_msgf(msg, size, "%s %s: %s", method, masked, line);
}

} // namespace
