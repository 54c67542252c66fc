/*
 * nimbus: a read-only OneDrive backend for media-player hosts, driven through
 * Microsoft Graph. The library performs no network I/O itself; the host hands
 * it a transport table (nimbus_io) and it sends every HTTP exchange through it.
 *
 * Conventions for every function below:
 * - Texts are NUL-terminated UTF-8. Texts passed in are borrowed for the call.
 * - Texts returned are owned by the library and belong to the calling thread;
 *   they stay valid until the same thread calls a function that replaces them.
 * - An output buffer is present only when its pointer is non-null and its
 *   length is greater than zero.
 * - Every function may be called from any number of threads at once.
 */
#ifndef NIMBUS_H
#define NIMBUS_H

#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(NIMBUS_BUILDING)
#    define NIMBUS_API __declspec(dllexport)
#  else
#    define NIMBUS_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define NIMBUS_API __attribute__((visibility("default")))
#else
#  define NIMBUS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. -7 is not used. */
enum {
    NIMBUS_OK = 0,
    NIMBUS_E_AUTH = -1,        /* authorisation refused: OAuth errors, HTTP 400, 401, 403 */
    NIMBUS_E_NOT_FOUND = -2,   /* HTTP 404/410, or an argument that addresses no item */
    NIMBUS_E_THROTTLED = -3,   /* HTTP 429 */
    NIMBUS_E_UNAVAILABLE = -4, /* no transport, no answer, HTTP 500/502/503/504 */
    NIMBUS_E_FAILED = -5,      /* other statuses, malformed answers, limits, out of memory */
    NIMBUS_E_UNSUPPORTED = -6, /* download, the built-in transport, a file without download URL */
    NIMBUS_E_INVALID = -8,     /* settings fault, incomplete transport table, bad fake script */
    NIMBUS_E_BUFFER = -9       /* output buffer missing or too small */
};

/*
 * The host's transport. get and post are required, free is optional.
 * Both return 0 when an HTTP answer arrived (any status), storing a
 * NUL-terminated body (never null; "" when empty) and the status; any other
 * value when none arrived, optionally storing an error text. The library
 * releases every text stored in *body, *answer and *error exactly once, with
 * free(ctx, text) when free is set, else with the C library's free().
 * A GET URL may end in "#NIMBUS-BEARER:" followed by an access token: request
 * only the part before the marker and send the rest as
 * "Authorization: Bearer <token>". Callbacks run concurrently on the threads
 * that make requests.
 */
typedef struct nimbus_io {
    void *ctx;
    int (*get)(void *ctx, const char *url, char **body, int32_t *status, char **error);
    int (*post)(void *ctx, const char *url, const char *body, const char *content_type,
                char **answer, int32_t *status, char **error);
    void (*free)(void *ctx, void *text);
} nimbus_io;

/* The constant handler record; each operation takes a transport table for that
 * one call (null reports "no transport"). Answers as for the flat exports,
 * except that a success without a buffer returns NIMBUS_E_BUFFER (the answer
 * is still in nimbus_result_json()). */
typedef struct nimbus_handler {
    const char *runtime_type; /* "ONEDRIVE" */
    int32_t caps;             /* 35 */
    int (*validate)(const nimbus_io *io, const char *settings, char *out, int32_t out_len);
    int (*list)(const nimbus_io *io, const char *settings, const char *folder, char *out,
                int32_t out_len);
    int (*stream_url)(const nimbus_io *io, const char *settings, const char *entry, char *out,
                      int32_t out_len);
    int (*download)(const nimbus_io *io, const char *settings, const char *arg, char *out,
                    int32_t out_len);
} nimbus_handler;

/*
 * Requests through the selected transport. Each writes its JSON answer (or
 * {"error":"..."} on failure) with its NUL into out when it fits, else sets
 * out[0] to 0; a success that does not fit returns NIMBUS_E_BUFFER. Without a
 * buffer a success returns NIMBUS_OK and the answer is read with
 * nimbus_result_json(). After every request nimbus_result_json() and
 * nimbus_last_error() hold the calling thread's answer and error text.
 */
/* Lists a folder: null, "" or "/" for the configured root, a path starting
 * with "/" relative to it, or a Graph item id. Answer: {"items":[...]}. */
NIMBUS_API int nimbus_list(const char *settings, const char *folder, char *out, int32_t out_len);
/* Stream locator of one file: entry is a JSON string (path or item id) or an
 * object with "id", "path", "locator" or "backend_id".
 * Answer: {"url":...,"id":...,"name":...,"size":N,"range":true}. */
NIMBUS_API int nimbus_stream_url(const char *settings, const char *entry, char *out,
                                 int32_t out_len);
/* Checks the settings against the service by listing the configured root.
 * Answer: {"RuntimeType":...} plus a rotated refresh token and a new "ID"
 * when the settings should store them. */
NIMBUS_API int nimbus_validate(const char *settings, char *out, int32_t out_len);
/* Always NIMBUS_E_UNSUPPORTED: the backend is read-only. */
NIMBUS_API int nimbus_download(const char *settings, const char *arg, char *out, int32_t out_len);

/* The calling thread's last answer and error text; never null. */
NIMBUS_API const char *nimbus_result_json(void);
NIMBUS_API const char *nimbus_last_error(void);

/* Identity: "1.0.0", "ONEDRIVE" and the capability word 35. Static texts. */
NIMBUS_API const char *nimbus_version(void);
NIMBUS_API const char *nimbus_runtime_type(void);
NIMBUS_API int nimbus_caps(void);

/* The Microsoft Graph base URL, after checking the settings (a missing
 * ClientId or ClientSecret is tolerated); null on a settings fault, with the
 * message in nimbus_last_error(). Per-thread text, valid until this thread's
 * next nimbus_drive_base or nimbus_redact. */
NIMBUS_API const char *nimbus_drive_base(const char *settings);
/* Converts one Graph children page the host fetched itself into entry JSON,
 * paths under parent. A success without a buffer returns NIMBUS_OK. */
NIMBUS_API int nimbus_parse_items(const char *page, const char *parent, char *out,
                                  int32_t out_len);
/* The text with URL user information and secret parameters masked. Per-thread
 * text, valid until this thread's next nimbus_redact or nimbus_drive_base. */
NIMBUS_API const char *nimbus_redact(const char *text);
/* Drops every cached access and refresh token of the process. */
NIMBUS_API void nimbus_forget_tokens(void);

/* The constant handler record. */
NIMBUS_API const nimbus_handler *hvtab_get(void);

/* Selects the host's transport for the flat requests (the library keeps a
 * copy of the table; ctx and callbacks must stay usable while selected).
 * Null deselects. NIMBUS_E_INVALID when get or post is missing.
 * A flat request takes the selected table when it starts and uses it until
 * it returns: after replacing or deselecting a table, the host may release
 * its ctx and callbacks only once every flat request that started before
 * nimbus_set_io returned has returned. */
NIMBUS_API int nimbus_set_io(const nimbus_io *io);
/* There is no built-in transport: always NIMBUS_E_UNSUPPORTED. */
NIMBUS_API int nimbus_use_curl(void);

/* The in-process fake transport, for the host's tests. nimbus_use_fake selects
 * it; routes answer by exact method ("GET" or "POST") and URL (without the
 * bearer marker); unscripted URLs answer 404. Scripting returns
 * NIMBUS_E_INVALID for a bad method or null URL and NIMBUS_E_BUFFER when
 * memory runs out. */
NIMBUS_API int nimbus_use_fake(void);
NIMBUS_API void nimbus_fake_reset(void);
/* Answers method+url with status and body (null body: ""). */
NIMBUS_API int nimbus_fake_set(const char *method, const char *url, int status, const char *body);
/* Makes method+url fail as a transport failure (null message: "connection refused"). */
NIMBUS_API int nimbus_fake_fail(const char *method, const char *url, const char *message);
/* Hits of the route (null method: GET and POST together); null url: all requests. */
NIMBUS_API int nimbus_fake_calls(const char *method, const char *url);
/* Last body posted to url, and the last URL requested. Per-thread texts, valid
 * until this thread's next call of either; never null. */
NIMBUS_API const char *nimbus_fake_last_body(const char *url);
NIMBUS_API const char *nimbus_fake_last_url(void);

#ifdef __cplusplus
}
#endif

#endif /* NIMBUS_H */
