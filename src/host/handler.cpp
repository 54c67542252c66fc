// The constant handler record and the runner that turns settings plus one
// operation into one answer: output buffer, result code and per-thread strings.
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "auth/auth.h"
#include "graph/graph.h"
#include "host/host.h"
#include "ops/ops.h"
#include "text/text.h"

namespace {

using op_fn = int (*)(nimbus_sess *sess, const char *arg, nimbus_buf *res, char *msg, size_t size);

int h_validate(const nimbus_io *io, const char *settings, char *out, int32_t out_len);
int h_list(const nimbus_io *io, const char *settings, const char *folder, char *out,
           int32_t out_len);
int h_stream_url(const nimbus_io *io, const char *settings, const char *entry, char *out,
                 int32_t out_len);
int h_download(const nimbus_io *io, const char *settings, const char *arg, char *out,
               int32_t out_len);

int run(const char *what, const nimbus_io *io, const char *settings, op_fn op, const char *arg,
        char *out, int32_t out_len);
int finish(const char *what, int code, nimbus_buf *res, char *msg, const nimbus_cfg *cfg,
           const char *extra, char *out, int32_t out_len);
int op_list(nimbus_sess *sess, const char *folder, nimbus_buf *res, char *msg, size_t size);
int op_stream(nimbus_sess *sess, const char *target, nimbus_buf *res, char *msg, size_t size);
void reserve_entries(nimbus_buf *res, const nimbus_items *list, const char *parent);

// The download operation's fixed answer: 60 characters.
constexpr char DOWNLOAD_REFUSED[] =
    "{\"error\":\"ONEDRIVE is read-only: download is not supported\"}";
static_assert(sizeof DOWNLOAD_REFUSED == 61, "the refusal is 60 characters and its NUL");

constexpr const char *ID_KEYS[] = {"id", "path", "locator", "backend_id"};
constexpr const char *NO_ID_MSG = "entry has no OneDrive id (\"id\", \"path\" or \"backend_id\")";

bool present(const char *out, int32_t out_len) {
    return out && out_len > 0;
}

} // namespace

namespace nimbus {
// Fields in order: runtime type, capability word, validate, list,
// stream_url, download.
const ::nimbus_handler nimbus_handler = {
    "ONEDRIVE", NIMBUS_CAPS, h_validate, h_list, h_stream_url, h_download,
};
} // namespace nimbus

extern "C" NIMBUS_API const nimbus_handler *hvtab_get(void) {
    return &nimbus::nimbus_handler;
}

int nimbus_finish(const char *what, int code, nimbus_buf *res, char *msg, const nimbus_cfg *cfg,
                  const char *extra, char *out, int32_t out_len) {
    return finish(what, code, res, msg, cfg, extra, out, out_len);
}

int nimbus_entry_target(const char *entry, char **target, char *msg, size_t size) {
    *target = nullptr;
    if (!entry) {
        nimbus_msgf(msg, size, "entry is NULL");
        return NIMBUS_E_NOT_FOUND;
    }
    yyjson_doc *doc =
        yyjson_read_opts(const_cast<char *>(entry), std::strlen(entry), 0, nullptr, nullptr);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc) : nullptr;
    if (yyjson_is_str(root)) {
        *target = nimbus_strndup(yyjson_get_str(root), yyjson_get_len(root));
    } else if (yyjson_is_obj(root)) {
        for (const char *name : ID_KEYS) {
            // The first member with exactly this name decides for it.
            yyjson_val *val = nimbus_json_member(root, name);
            if (!yyjson_is_str(val) || yyjson_get_len(val) == 0)
                continue;
            const char *s = yyjson_get_str(val);
            if (s[0] != '/' && !nimbus_item_id_ok(s))
                continue;
            *target = nimbus_strndup(s, yyjson_get_len(val));
            if (*target)
                break;
        }
    }
    yyjson_doc_free(doc);
    if (!*target) {
        nimbus_msgf(msg, size, "%s", NO_ID_MSG);
        return NIMBUS_E_NOT_FOUND;
    }
    return NIMBUS_OK;
}

namespace {

int h_validate(const nimbus_io *io, const char *settings, char *out, int32_t out_len) {
    char msg[NIMBUS_MSG_SIZE] = {};
    nimbus_buf res{};
    nimbus_buf_guard rg{&res};
    nimbus_cfg cfg{};
    int rc = nimbus_cfg_parse(settings, 1, &cfg, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return finish("validate", rc, &res, msg, nullptr, nullptr, out, out_len);
    if (!io) {
        nimbus_msgf(msg, sizeof msg, "no transport");
        rc = NIMBUS_E_UNAVAILABLE;
    } else {
        rc = nimbus_do_validate(io, &cfg, cfg.id, &res, msg, sizeof msg);
    }
    rc = finish("validate", rc, &res, msg, &cfg, nullptr, out, out_len);
    nimbus_cfg_free(&cfg);
    return rc;
}

int h_list(const nimbus_io *io, const char *settings, const char *folder, char *out,
           int32_t out_len) {
    return run("list", io, settings, op_list, folder ? folder : "", out, out_len);
}

int h_stream_url(const nimbus_io *io, const char *settings, const char *entry, char *out,
                 int32_t out_len) {
    char emsg[NIMBUS_MSG_SIZE] = {};
    nimbus_buf res{};
    nimbus_buf_guard rg{&res};
    char *target = nullptr;
    if (nimbus_entry_target(entry, &target, emsg, sizeof emsg) == NIMBUS_OK) {
        int rc = run("stream", io, settings, op_stream, target, out, out_len);
        std::free(target);
        return rc;
    }
    // A settings fault is reported before an unusable entry.
    char smsg[NIMBUS_MSG_SIZE] = {};
    nimbus_cfg cfg{};
    if (nimbus_cfg_parse(settings, 1, &cfg, smsg, sizeof smsg) != NIMBUS_OK)
        return finish("stream", NIMBUS_E_INVALID, &res, smsg, nullptr, nullptr, out, out_len);
    int rc = finish("stream", NIMBUS_E_NOT_FOUND, &res, emsg, &cfg, nullptr, out, out_len);
    nimbus_cfg_free(&cfg);
    return rc;
}

int h_download(const nimbus_io *, const char *, const char *, char *out, int32_t out_len) {
    if (present(out, out_len)) {
        if (out_len <= 60)
            out[0] = '\0';
        else
            std::memcpy(out, DOWNLOAD_REFUSED, sizeof DOWNLOAD_REFUSED);
    }
    nimbus_publish(NIMBUS_E_UNSUPPORTED, "ONEDRIVE is read-only: download is not supported",
                   nullptr);
    return NIMBUS_E_UNSUPPORTED;
}

// Settings, transport, session, operation, answer, release: in that order.
int run(const char *what, const nimbus_io *io, const char *settings, op_fn op, const char *arg,
        char *out, int32_t out_len) {
    char msg[NIMBUS_MSG_SIZE] = {};
    nimbus_buf res{};
    nimbus_buf_guard rg{&res};
    nimbus_cfg cfg{};
    int rc = nimbus_cfg_parse(settings, 1, &cfg, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return finish(what, rc, &res, msg, nullptr, nullptr, out, out_len);
    if (!io) {
        nimbus_msgf(msg, sizeof msg, "no transport");
        rc = finish(what, NIMBUS_E_UNAVAILABLE, &res, msg, &cfg, nullptr, out, out_len);
        nimbus_cfg_free(&cfg);
        return rc;
    }
    nimbus_sess sess{};
    rc = nimbus_sess_open(&sess, io, &cfg, msg, sizeof msg);
    if (rc == NIMBUS_OK)
        rc = op(&sess, arg, &res, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        nimbus_sess_scrub(&sess, msg);
    rc = finish(what, rc, &res, msg, &cfg, sess.access_token, out, out_len);
    nimbus_sess_close(&sess);
    nimbus_cfg_free(&cfg);
    return rc;
}

int finish(const char *what, int code, nimbus_buf *res, char *msg, const nimbus_cfg *cfg,
           const char *extra, char *out, int32_t out_len) {
    if (code != NIMBUS_OK) {
        if (!msg[0]) // a failure always says something
            nimbus_msgf(msg, NIMBUS_MSG_SIZE, "%s failed with result code %d", what, code);
        nimbus_scrub(msg, cfg, extra);
        nimbus_buf ej{};
        nimbus_buf_guard eg{&ej};
        int bad = nimbus_buf_adds(&ej, "{\"error\":");
        bad |= nimbus_buf_json_str(&ej, msg);
        bad |= nimbus_buf_adds(&ej, "}");
        if (!bad && present(out, out_len)) {
            if (static_cast<size_t>(out_len) >= ej.len + 1)
                std::memcpy(out, ej.data, ej.len + 1);
            else
                out[0] = '\0';
        }
        nimbus_publish(code, msg, nullptr);
        return code;
    }

    const char *answer = (res->data && res->len) ? res->data : "{}";
    size_t len = (res->data && res->len) ? res->len : 2;
    int rc = NIMBUS_OK;
    if (present(out, out_len) && static_cast<size_t>(out_len) >= len + 1) {
        std::memcpy(out, answer, len + 1);
    } else {
        if (present(out, out_len))
            out[0] = '\0';
        rc = NIMBUS_E_BUFFER;
    }
    const char *error = rc == NIMBUS_OK ? nullptr : "output buffer too small";
    if (res->data && res->len) {
        // Hand the answer over instead of copying it: listings can be large.
        char *owned = res->data;
        if (res->cap > res->len + 1) {
            if (char *shrunk = static_cast<char *>(std::realloc(owned, res->len + 1)))
                owned = shrunk;
        }
        *res = nimbus_buf{};
        nimbus_publish_owned(rc, error, owned);
    } else {
        nimbus_publish(rc, error, answer);
    }
    return rc;
}

int op_list(nimbus_sess *sess, const char *folder, nimbus_buf *res, char *msg, size_t size) {
    nimbus_items list{};
    char *parent = nullptr;
    int rc = nimbus_do_list(sess, folder, &list, &parent, msg, size);
    if (rc == NIMBUS_OK)
        reserve_entries(res, &list, parent);
    if (rc == NIMBUS_OK && nimbus_items_json(res, &list, parent) != 0) {
        nimbus_msgf(msg, size, "out of memory");
        rc = NIMBUS_E_FAILED;
    }
    std::free(parent);
    nimbus_items_free(&list);
    return rc;
}

// Sizes the answer buffer for the entry JSON once, so a large listing is not
// copied through every doubling; escapes beyond the estimate grow it as usual.
void reserve_entries(nimbus_buf *res, const nimbus_items *list, const char *parent) {
    size_t want = nimbus_items_json_size(list, parent);
    if (res->data || want < 4096)
        return;
    if (char *p = static_cast<char *>(std::malloc(want))) {
        p[0] = '\0';
        *res = nimbus_buf{p, 0, want};
    }
}

int op_stream(nimbus_sess *sess, const char *target, nimbus_buf *res, char *msg, size_t size) {
    return nimbus_do_stream(sess, target, res, msg, size);
}

} // namespace
