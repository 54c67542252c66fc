// Text, settings and common helpers shared by every module of the library:
// the growable text buffer and its encoders, validators, redaction, the
// settings record, endpoints, GUIDs, timestamps, bounded messages, the small
// platform layer and RAII helpers.
#ifndef NIMBUS_TEXT_H
#define NIMBUS_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "nimbus.h"

// Sizes of the message buffers of the library's steps.
constexpr size_t NIMBUS_MSG_SIZE = 768; // one request's shared message buffer
constexpr size_t NIMBUS_URL_MSG = 512;  // a redacted URL quoted in a message
constexpr size_t NIMBUS_LINE_MSG = 200; // one body line quoted in a message
constexpr const char *NIMBUS_DEFAULT_SCOPE = "offline_access Files.Read.All";
constexpr int32_t NIMBUS_DEFAULT_PAGE_SIZE = 200; // $top of a listing's page requests
constexpr int32_t NIMBUS_MAX_PAGE_SIZE = 1000;    // the most Graph hands out per page
constexpr int32_t NIMBUS_MAX_WALK_THREADS = 16;   // folders one walk lists at once, at most
// How a walk reads a tree: chosen by the drive and depth, folder listings,
// or the folder's change feed.
constexpr int32_t NIMBUS_WALK_AUTO = 0, NIMBUS_WALK_LISTING = 1, NIMBUS_WALK_CHANGES = 2;
// The cloud of settings without "Cloud": the global service.
constexpr int32_t NIMBUS_CLOUD_GLOBAL = 0;

// ---- RAII helpers --------------------------------------------------------

struct nimbus_free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
// An owned malloc-family string.
using nimbus_str = std::unique_ptr<char, nimbus_free_deleter>;

// ---- Growable text buffer and encoders -----------------------------------

// A zeroed record is an empty buffer; data is NUL-terminated once allocated.
struct nimbus_buf {
    char *data;
    size_t len;
    size_t cap;
};

// All appends return 0, or -1 when memory (or capacity) runs out.
int nimbus_buf_add(nimbus_buf *b, const void *bytes, size_t n);
int nimbus_buf_adds(nimbus_buf *b, const char *s);
int nimbus_buf_addf(nimbus_buf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int nimbus_buf_json_str(nimbus_buf *b, const char *s);
int nimbus_buf_query(nimbus_buf *b, const char *name, const char *value);
int nimbus_buf_addpath(nimbus_buf *b, const char *path);
int nimbus_buf_addq(nimbus_buf *b, const char *text);
void nimbus_buf_free(nimbus_buf *b);
char *nimbus_strndup(const char *bytes, size_t n);
char *nimbus_strdup(const char *s);

// Releases a buffer when the scope ends (unless its data was taken over).
struct nimbus_buf_guard {
    nimbus_buf *b;
    ~nimbus_buf_guard() { nimbus_buf_free(b); }
};

// ---- JSON helpers ----------------------------------------------------------

struct yyjson_doc;
struct yyjson_val;
struct yyjson_alc;
struct yyjson_read_err;

// Releases a yyjson document (null is fine) when the scope ends, with the
// repaired texts of a lenient reading.
struct nimbus_doc_guard {
    yyjson_doc *doc;
    char *texts = nullptr;
    ~nimbus_doc_guard();
};
// Reads text from elsewhere (len bytes of body; with in_place the body is
// writable, followed by YYJSON_PADDING_SIZE zero bytes, and is overwritten)
// into doc, as yyjson's strict reader does, except that a string that is
// not well-formed UTF-8 (raw bytes, or an escaped lone surrogate) does not
// make the whole text unreadable: every such string becomes well-formed,
// member values keyed by one of the names in drop (a null-terminated list,
// or null) turning null and all others repaired by nimbus_utf8_repair (a
// raw control byte in a string is then taken as its escape would be). A
// text without such strings reads exactly as the strict reader reads it.
// The document, or null with err set (YYJSON_READ_ERROR_MEMORY_ALLOCATION
// when memory ran out, also for the repair).
yyjson_doc *nimbus_json_read(nimbus_doc_guard *doc, char *body, size_t len, bool in_place,
                             yyjson_alc *alc, const char *const *drop, yyjson_read_err *err);
// The value of the first member keyed exactly key, or null (also when obj
// is not an object).
yyjson_val *nimbus_json_member(yyjson_val *obj, const char *key);
// Writes s (n bytes) as a JSON string literal at p and returns its end: at
// most 6 * n + 2 bytes. Quote, backslash, controls and DEL are escaped;
// every other byte passes through.
char *nimbus_json_put_str(char *p, const char *s, size_t n);

// ---- Validators and name helpers -----------------------------------------

// The value of one hexadecimal digit (either case), or -1.
inline int nimbus_hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int nimbus_utf8_ok(const char *bytes, size_t n);
// The n bytes with every ill-formed piece replaced by U+FFFD: each longest
// start of a sequence that cannot be completed, each stray byte and each
// encoded surrogate (the form an escaped lone surrogate takes in a lenient
// reading) becomes one. Writes to out (at most 3 * n bytes) unless out is
// null; answers the length either way.
size_t nimbus_utf8_repair(char *out, const char *bytes, size_t n);
int nimbus_path_ok(const char *s);
int nimbus_item_id_ok(const char *s);
const char *nimbus_basename(const char *s);
int nimbus_name_clean(nimbus_buf *b, const char *name, const char *fallback);

// ---- Bounded messages ----------------------------------------------------

// printf into msg, cut to size - 1 bytes and NUL-terminated; nothing is
// written when msg is null or size is 0.
void nimbus_msgf(char *msg, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// ---- Settings ------------------------------------------------------------

// One request's parsed settings; a zeroed record is empty.
struct nimbus_cfg {
    char *client_id;
    char *client_secret;
    char *refresh_token;
    char *scope;
    char *path; // root folder without its leading "/", or null for the drive root
    char *id;
    int32_t business;
    int32_t page_size;     // entries asked for per page ($top); 0 means the default
    int32_t public_client; // "PublicClient": no client secret is held or sent
    int32_t
        walk_threads; // "WalkConcurrency": folders a walk lists at once; 0: as the service allows
    int32_t walk_method;    // "WalkMethod": NIMBUS_WALK_AUTO, _LISTING or _CHANGES
    int32_t metadata;       // "Metadata": the entry JSON carries the media facets
    int32_t header_markers; // "HeaderMarkers": the host's transport reads header markers
    int32_t cloud;          // "Cloud": NIMBUS_CLOUD_GLOBAL or another of nimbus_cloud_named
};

// How nimbus_cfg_parse takes missing credentials (strict is 1 or 0 else):
// with 1 every one must be there, with 0 a missing ClientId or ClientSecret
// is reported only when nothing else is wrong (a sign-in has no refresh
// token yet), and with NIMBUS_CFG_ADDRESS none is needed at all (for what
// only needs to know the service's address).
constexpr int NIMBUS_CFG_ADDRESS = 2;
// NIMBUS_OK, or NIMBUS_E_INVALID with the fault's message (record left empty).
int nimbus_cfg_parse(const char *text, int strict, nimbus_cfg *cfg, char *msg, size_t size);
void nimbus_cfg_free(nimbus_cfg *cfg);
// The settings' scope when present and non-empty, else NIMBUS_DEFAULT_SCOPE.
const char *nimbus_scope_of(const nimbus_cfg *cfg);
// The settings' page size when set, else NIMBUS_DEFAULT_PAGE_SIZE.
int32_t nimbus_page_size_of(const nimbus_cfg *cfg);
// The settings' walk concurrency when set, else 4.
int32_t nimbus_walk_threads_of(const nimbus_cfg *cfg);

// ---- Redaction -----------------------------------------------------------

void nimbus_redact_into(const char *text, char *out, size_t size);
void nimbus_body_line(const char *text, char *out, size_t size);
// Replaces every occurrence of secret (4 bytes or longer) in msg with "***".
void nimbus_mask(char *msg, const char *secret);
void nimbus_scrub(char *msg, const nimbus_cfg *cfg, const char *access_token);

// ---- Endpoints, identifiers and timestamps -------------------------------

const char *nimbus_token_url();
const char *nimbus_graph_base();
// Points the endpoints elsewhere (null leaves one unchanged); not exported.
void nimbus_test_endpoints(const char *graph_base, const char *token_url);
// The cloud the len bytes of name call ("global", "usgov", "usgovdod",
// "china"), or -1 when they name none.
int32_t nimbus_cloud_named(const char *name, size_t len);
// The token endpoint and Graph base of the settings' cloud. The global
// cloud's (also for null settings) are the process-wide ones above.
const char *nimbus_token_url_of(const nimbus_cfg *cfg);
const char *nimbus_graph_base_of(const nimbus_cfg *cfg);
int nimbus_new_guid(char *out, size_t size);
int64_t nimbus_iso8601_ms(const char *text);

// ---- Platform layer ------------------------------------------------------

// The library's per-thread texts. Each slot holds one owned malloc-family
// text of the calling thread; all are released when the thread ends.
enum nimbus_tls_slot {
    NIMBUS_TLS_RESULT,  // the last request's result JSON
    NIMBUS_TLS_ERROR,   // the last request's error text
    NIMBUS_TLS_SCRATCH, // the last text of nimbus_drive_base / nimbus_redact
    NIMBUS_TLS_FAKE,    // the last text the fake transport's inspection handed out
    NIMBUS_TLS_COUNT
};
// Stores fresh (owned, or null) in the slot after releasing the text it held,
// and returns fresh.
char *nimbus_tls_set(nimbus_tls_slot slot, char *fresh);
// The text the slot holds, or null.
const char *nimbus_tls_get(nimbus_tls_slot slot);

// Seconds since the Unix epoch.
int64_t nimbus_now();
// Fills out with n bytes from the system's random device; 0 on success.
int nimbus_random_bytes(void *out, size_t n);
// Reads random bytes from path instead (null restores "/dev/urandom"), so
// tests can take the device away; not exported.
void nimbus_test_random_device(const char *path);

#endif // NIMBUS_TEXT_H
