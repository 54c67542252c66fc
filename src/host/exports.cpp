// The flat request exports, the per-thread result and error strings, and the
// identity exports.
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

// One library-owned text per thread, released when the thread ends.
struct thread_text {
    char *p = nullptr;
    ~thread_text() {
        std::free(p);
        p = nullptr;
    }
    // The new text is made before the old one goes, so a caller may pass the
    // old text itself.
    void take(char *fresh) {
        std::free(p);
        p = fresh;
    }
    void set(const char *text) { take(nimbus_strdup(text ? text : "")); }
};

thread_local thread_text t_result;
thread_local thread_text t_error;

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
    return t_result.p ? t_result.p : "";
}

NIMBUS_API const char *nimbus_last_error(void) {
    return t_error.p ? t_error.p : "";
}

NIMBUS_API const char *nimbus_version(void) {
    return "1.0.0";
}

NIMBUS_API const char *nimbus_runtime_type(void) {
    return "ONEDRIVE";
}

NIMBUS_API int nimbus_caps(void) {
    return nimbus::nimbus_handler.caps;
}

} // extern "C"

void nimbus_publish(int code, const char *error, const char *result) {
    t_error.set(code != NIMBUS_OK ? error : nullptr);
    t_result.set(result);
}

void nimbus_publish_owned(int code, const char *error, char *result) {
    t_error.set(code != NIMBUS_OK ? error : nullptr);
    if (result)
        t_result.take(result);
    else
        t_result.set(nullptr);
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
    if (t_result.p && *t_result.p) {
        t_error.set(nullptr);
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
