// The flat request exports, the per-thread result and error strings, the
// fixed text of every result code, and the identity exports.
#include <cstdlib>

#include "host/host.h"
#include "text/text.h"
#include "transport/transport.h"

namespace {

using handler_op = int (*)(const nimbus_io *io, const char *settings, const char *arg, char *out,
                           int32_t out_len);

int flat(handler_op op, const char *settings, const char *arg, char *out, int32_t out_len);
int f_list(const nimbus_io *io, const char *settings, const char *arg, char *out, int32_t len);
int f_stream(const nimbus_io *io, const char *settings, const char *arg, char *out, int32_t len);
int f_download(const nimbus_io *io, const char *settings, const char *arg, char *out, int32_t len);
int f_validate(const nimbus_io *io, const char *settings, const char *arg, char *out, int32_t len);

// The new text is made before the old one goes, so a caller may pass the
// old text itself.
void set_text(nimbus_tls_slot slot, const char *text) {
    nimbus_tls_set(slot, nimbus_strdup(text ? text : ""));
}

const char *or_empty(const char *text) {
    return text ? text : "";
}

} // namespace

extern "C" {

NIMBUS_API int nimbus_list(const char *settings, const char *folder, char *out, int32_t out_len) {
    return flat(f_list, settings, folder, out, out_len);
}

NIMBUS_API int nimbus_stream_url(const char *settings, const char *entry, char *out,
                                 int32_t out_len) {
    return flat(f_stream, settings, entry, out, out_len);
}

NIMBUS_API int nimbus_validate(const char *settings, char *out, int32_t out_len) {
    return flat(f_validate, settings, nullptr, out, out_len);
}

NIMBUS_API int nimbus_download(const char *settings, const char *arg, char *out, int32_t out_len) {
    return flat(f_download, settings, arg, out, out_len);
}

NIMBUS_API const char *nimbus_result_json(void) {
    return or_empty(nimbus_tls_get(NIMBUS_TLS_RESULT));
}

NIMBUS_API const char *nimbus_last_error(void) {
    return or_empty(nimbus_tls_get(NIMBUS_TLS_ERROR));
}

NIMBUS_API const char *nimbus_strerror(int code) {
    switch (code) {
    case NIMBUS_OK:
        return "success";
    case NIMBUS_E_AUTH:
        return "authorisation refused";
    case NIMBUS_E_NOT_FOUND:
        return "not found";
    case NIMBUS_E_THROTTLED:
        return "throttled by the service";
    case NIMBUS_E_UNAVAILABLE:
        return "service unavailable";
    case NIMBUS_E_FAILED:
        return "request failed";
    case NIMBUS_E_UNSUPPORTED:
        return "not supported";
    case NIMBUS_E_INVALID:
        return "invalid settings or arguments";
    case NIMBUS_E_BUFFER:
        return "output buffer too small";
    case NIMBUS_E_BAD_PATH:
        return "malformed path";
    case NIMBUS_E_IS_FOLDER:
        return "is a folder";
    case NIMBUS_E_NOT_FOLDER:
        return "not a folder";
    case NIMBUS_E_NOMEM:
        return "out of memory";
    case NIMBUS_E_STOPPED:
        return "stopped by the callback";
    case NIMBUS_E_PENDING:
        return "sign-in not finished yet";
    case NIMBUS_E_RESYNC:
        return "change cursor expired: start over";
    case NIMBUS_E_PARTIAL:
        return "finished without some folders";
    case NIMBUS_E_SIGNIN:
        return "sign-in refused: sign in again";
    default:
        return "unknown result code";
    }
}

NIMBUS_API const char *nimbus_version(void) {
    return NIMBUS_VERSION_STRING;
}

NIMBUS_API const char *nimbus_runtime_type(void) {
    return "ONEDRIVE";
}

NIMBUS_API int nimbus_caps(void) {
    return nimbus::nimbus_handler.caps;
}

} // extern "C"

void nimbus_publish(int code, const char *error, const char *result) {
    set_text(NIMBUS_TLS_ERROR, code != NIMBUS_OK ? error : nullptr);
    set_text(NIMBUS_TLS_RESULT, result);
}

void nimbus_publish_owned(int code, const char *error, char *result) {
    set_text(NIMBUS_TLS_ERROR, code != NIMBUS_OK ? error : nullptr);
    if (result)
        nimbus_tls_set(NIMBUS_TLS_RESULT, result);
    else
        set_text(NIMBUS_TLS_RESULT, nullptr);
}

namespace {

// The common body of the request exports: the selected transport (a copy, so
// the host may switch transports meanwhile) and the no-buffer convenience.
int flat(handler_op op, const char *settings, const char *arg, char *out, int32_t out_len) {
    nimbus_io io{};
    const nimbus_io *selected = nimbus_io_current(&io) ? &io : nullptr;
    if (out && out_len > 0)
        return op(selected, settings, arg, out, out_len);
    int rc = op(selected, settings, arg, nullptr, 0);
    if (rc != NIMBUS_E_BUFFER)
        return rc;
    const char *result = nimbus_tls_get(NIMBUS_TLS_RESULT);
    if (result && *result) {
        set_text(NIMBUS_TLS_ERROR, nullptr);
        return NIMBUS_OK;
    }
    return NIMBUS_E_BUFFER;
}

int f_list(const nimbus_io *io, const char *settings, const char *arg, char *out, int32_t len) {
    return nimbus::nimbus_handler.list(io, settings, arg, out, len);
}

int f_stream(const nimbus_io *io, const char *settings, const char *arg, char *out, int32_t len) {
    return nimbus::nimbus_handler.stream_url(io, settings, arg, out, len);
}

int f_download(const nimbus_io *io, const char *settings, const char *arg, char *out, int32_t len) {
    return nimbus::nimbus_handler.download(io, settings, arg, out, len);
}

int f_validate(const nimbus_io *io, const char *settings, const char *, char *out, int32_t len) {
    return nimbus::nimbus_handler.validate(io, settings, out, len);
}

} // namespace
