// Service exports that need no transport: the settings' Graph base URL,
// conversion of a children page the host fetched itself, redaction of any
// text, and wiping the token cache.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "auth/auth.h"
#include "graph/graph.h"
#include "host/host.h"
#include "text/text.h"

// The text last returned by nimbus_drive_base or nimbus_redact lives in the
// thread's NIMBUS_TLS_SCRATCH slot.

extern "C" {

NIMBUS_API const char *nimbus_drive_base(const char *settings) {
    char msg[512] = {};
    nimbus_cfg cfg{};
    // Missing credentials do not matter for the base URL; other faults do.
    int rc = nimbus_cfg_parse(settings, NIMBUS_CFG_ADDRESS, &cfg, msg, sizeof msg);
    if (rc != NIMBUS_OK) {
        if (!msg[0])
            nimbus_msgf(msg, sizeof msg, "drive_base failed with result code %d", rc);
        nimbus_publish(rc, msg, nullptr);
        return nullptr;
    }
    // The table's texts live for the whole process, past the record.
    const char *base = nimbus_graph_base_of(&cfg);
    nimbus_cfg_free(&cfg);
    char *copy = nimbus_strdup(base);
    nimbus_publish(NIMBUS_OK, nullptr, base);
    // Out of memory: the endpoint text itself lives for the whole process.
    return copy ? nimbus_tls_set(NIMBUS_TLS_SCRATCH, copy) : base;
}

NIMBUS_API int nimbus_parse_items(const char *page, const char *parent, char *out,
                                  int32_t out_len) {
    if (!page) {
        nimbus_publish(NIMBUS_E_FAILED, "body is NULL", nullptr);
        return NIMBUS_E_FAILED;
    }
    if (!parent)
        parent = "";
    char msg[256] = {};
    nimbus_items list{};
    char *next = nullptr;
    int rc =
        nimbus_parse_children_page(page, std::strlen(page), parent, &list, &next, msg, sizeof msg);
    std::free(next);
    if (rc != NIMBUS_OK) {
        nimbus_items_free(&list);
        if (!msg[0])
            nimbus_msgf(msg, sizeof msg, "parse_items failed with result code %d", rc);
        nimbus_publish(rc, msg, nullptr);
        return rc;
    }
    nimbus_buf json{};
    nimbus_buf_guard jg{&json};
    int bad = nimbus_items_json(&json, &list, parent);
    nimbus_items_free(&list);
    if (bad != 0 || !json.data) {
        nimbus_publish(NIMBUS_E_FAILED, "out of memory", nullptr);
        return NIMBUS_E_FAILED;
    }
    rc = NIMBUS_OK;
    if (out && out_len > 0) {
        if (static_cast<size_t>(out_len) < json.len + 1) {
            out[0] = '\0';
            rc = NIMBUS_E_BUFFER;
        } else {
            std::memcpy(out, json.data, json.len + 1);
        }
    }
    // The answer is handed over, not copied: without a buffer it is the only
    // place the host finds it, so it must not be lost to a failed copy.
    char *answer = json.data;
    json = nimbus_buf{};
    nimbus_publish_owned(rc, rc == NIMBUS_OK ? nullptr : "output buffer too small", answer);
    return rc;
}

NIMBUS_API const char *nimbus_redact(const char *text) {
    size_t len = text ? std::strlen(text) : 0;
    if (len > (SIZE_MAX - 16) / 2)
        return "";
    size_t size = text ? 2 * len + 16 : 1;
    char *out = static_cast<char *>(std::malloc(size));
    if (!out)
        return "";
    nimbus_redact_into(text, out, size);
    return nimbus_tls_set(NIMBUS_TLS_SCRATCH, out);
}

NIMBUS_API void nimbus_forget_tokens(void) {
    nimbus_cache_clear();
}

} // extern "C"
