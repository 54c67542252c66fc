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

/* The version of this header; nimbus_version() answers the library's, which
 * a host may compare with NIMBUS_VERSION_STRING to detect a mismatched
 * installation. The build refuses to configure when these differ from the
 * project's version. 1.1 added the drive handle (nimbus_drive_*),
 * nimbus_token_grant, nimbus_strerror, header markers ("HeaderMarkers") and
 * nimbus_fake_last_headers. */
#define NIMBUS_VERSION_MAJOR 1
#define NIMBUS_VERSION_MINOR 1
#define NIMBUS_VERSION_PATCH 0
#define NIMBUS_VERSION_STRING "1.1.0"

/* The marker a GET URL may carry in front of an access token (see nimbus_io). */
#define NIMBUS_BEARER_MARKER "#NIMBUS-BEARER:"
/* The marker in front of one request header, for hosts that read them (since
 * 1.1; see nimbus_io). */
#define NIMBUS_HEADER_MARKER "#NIMBUS-HEADER:"
/* The User-Agent that identifies nimbus's own traffic to the service, in the
 * form Microsoft's throttling guidance asks for (ISV|company|app/version). */
#define NIMBUS_USER_AGENT "ISV|nimbus|nimbus/" NIMBUS_VERSION_STRING

/* The capability word the backend reports to its host (nimbus_caps() and the
 * handler record's caps). The host gives the bits their meaning; these names
 * say what the backend offers: folders can be browsed, files are played from
 * a stream locator the player opens itself, and settings can be checked
 * against the service. */
#define NIMBUS_CAP_BROWSE 0x01
#define NIMBUS_CAP_STREAM_URL 0x02
#define NIMBUS_CAP_VALIDATE 0x20
#define NIMBUS_CAPS (NIMBUS_CAP_BROWSE | NIMBUS_CAP_STREAM_URL | NIMBUS_CAP_VALIDATE)

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(NIMBUS_BUILDING)
#define NIMBUS_API __declspec(dllexport)
#else
#define NIMBUS_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define NIMBUS_API __attribute__((visibility("default")))
#else
#define NIMBUS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. -7 is reserved and never answered: the codes keep the values
 * hosts already map, with a gap where no code was ever assigned, and a code
 * added later takes a value below -9 rather than reusing the gap. */
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
 * A GET URL may end in NIMBUS_BEARER_MARKER followed by an access token: request
 * only the part before the marker and send the rest as
 * "Authorization: Bearer <token>". Callbacks run concurrently on the threads
 * that make requests.
 *
 * Header markers (since 1.1): a host whose get reads them says so with
 * "HeaderMarkers": true in the settings; without it every URL is exactly as
 * above. With it a GET URL has the form
 *     URL *( "#NIMBUS-HEADER:" NAME ": " VALUE ) [ "#NIMBUS-BEARER:" TOKEN ]
 * where URL holds no '#' (the library drops a fragment, which HTTP never
 * sends), NAME is letters, digits and '-', and VALUE is printable ASCII
 * (0x20 to 0x7E) without '#'. Split at the first NIMBUS_BEARER_MARKER as
 * before; split the part before it at each NIMBUS_HEADER_MARKER: the first
 * piece is the URL to request, every other piece one header line to send as
 * it stands. Listings and the change feed carry
 * "Prefer: Include-Feature=AddToOneDrive" (a personal drive lists shortcuts
 * to shared folders only then). POSTs never carry markers.
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
    int32_t caps;             /* NIMBUS_CAPS (35) */
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
 *
 * "Cloud" in the settings names the Microsoft cloud the account lives on,
 * whose sign-in and Graph hosts every request of the settings uses (token,
 * authorize and device-code endpoints; Graph requests, and the only origin
 * a next link or change cursor may have):
 *   "global"   login.microsoftonline.com, graph.microsoft.com (the default)
 *   "usgov"    login.microsoftonline.us, graph.microsoft.us (US Government L4)
 *   "usgovdod" login.microsoftonline.us, dod-graph.microsoft.us (US Government L5)
 *   "china"    login.chinacloudapi.cn, microsoftgraph.chinacloudapi.cn (21Vianet)
 * The national clouds hold no personal accounts: any cloud but "global"
 * needs "RuntimeType": "ONEDRIVEB". Another value, or another cloud with a
 * personal RuntimeType, is a settings fault (NIMBUS_E_INVALID). Cached
 * tokens are kept apart by cloud.
 */
/* Lists a folder: null, "" or "/" for the configured root, a path starting
 * with "/" relative to it, or a Graph item id. Answer: {"items":[...]}.
 * A shortcut to a shared folder is listed as a folder; paths beneath it and
 * its id are followed onto the shared folder's drive (see nimbus_entry's id
 * for the ids of what lies there). */
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

/* Identity: NIMBUS_VERSION_STRING of the library's build, "ONEDRIVE" and
 * NIMBUS_CAPS (35). Static texts. */
NIMBUS_API const char *nimbus_version(void);
NIMBUS_API const char *nimbus_runtime_type(void);
NIMBUS_API int nimbus_caps(void);

/* The Microsoft Graph base URL of the settings' "Cloud", after checking the
 * settings (a missing ClientId or ClientSecret is tolerated); null on a
 * settings fault, with the message in nimbus_last_error(). Per-thread text,
 * valid until this thread's next nimbus_drive_base or nimbus_redact. */
NIMBUS_API const char *nimbus_drive_base(const char *settings);
/* Converts one Graph children page the host fetched itself into entry JSON,
 * paths under parent. A success without a buffer returns NIMBUS_OK. */
NIMBUS_API int nimbus_parse_items(const char *page, const char *parent, char *out, int32_t out_len);
/* The text with URL user information, secret parameters (after '?', '&', ';'
 * or '#', their names also percent-encoded) and bearer tokens masked. Per-thread
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
/* The header markers of the last request, one "Name: value" a line (joined
 * by '\n'), or "" (since 1.1). Per-thread text like the two above, sharing
 * their slot. */
NIMBUS_API const char *nimbus_fake_last_headers(void);

/*
 * The drive handle (since 1.1): settings parsed once, typed entries streamed
 * to a callback, codes a host can branch on.
 *
 * Codes below -9 are answered by the handle calls and nimbus_token_grant
 * only; the requests above keep their codes. Every failure of these calls
 * leaves a one-line message, secrets masked, in nimbus_last_error() (per
 * thread); a success leaves it empty. nimbus_result_json() is left empty by
 * them: answers reach the host through callbacks and out buffers only.
 */
enum {
    NIMBUS_E_BAD_PATH = -10,   /* a folder or path argument that is malformed (not "not found") */
    NIMBUS_E_IS_FOLDER = -11,  /* a file was asked for and the path is a folder */
    NIMBUS_E_NOT_FOLDER = -12, /* a folder was asked for and the path is a file */
    NIMBUS_E_NOMEM = -13,      /* memory ran out: one code, wherever it happens */
    NIMBUS_E_STOPPED = -14,    /* the entry callback asked to stop */
    NIMBUS_E_PENDING = -15,    /* a device-code grant whose user has not finished yet
                                  (authorization_pending, slow_down) */
    NIMBUS_E_RESYNC = -16,     /* a change cursor the service no longer accepts: start over
                                  with a null cursor */
    NIMBUS_E_PARTIAL = -17,    /* a walk that finished without some folders (broken
                                  shortcuts, loops, paths past the bounds); the message
                                  names the first */
    NIMBUS_E_SIGNIN = -18      /* the identity platform refused the handle's refresh
                                  token (invalid_grant: revoked or expired; invalid_client:
                                  the application's secret expired): retrying cannot
                                  help, the user must sign in again. Any handle call
                                  that needs a token may answer it; the requests above
                                  answer NIMBUS_E_AUTH for the same refusal */
};

/* A short fixed English text for any code, also for unknown ones ("unknown
 * result code"). Static text. */
NIMBUS_API const char *nimbus_strerror(int code);

/* An open drive: settings, transport table and the access token its users
 * share. Opaque; one handle serves any number of threads at once. */
typedef struct nimbus_drive nimbus_drive;

/* One drive entry as a callback sees it. The struct and every text in it
 * belong to the library and are valid only during the callback; copy what
 * you keep. Texts are UTF-8 as the service sent them; name is cleaned as in
 * listings (never empty, no "/"). */
typedef struct nimbus_entry {
    const char *name;         /* display name, cleaned as in listings */
    const char *path;         /* virtual path from the configured root, starting with "/";
                                 reached through an item id, the one the service's answer
                                 gives, null when it gives none or one outside the root */
    const char *id;           /* Graph item id; an entry on another drive (beneath a
                                 shortcut) has "drives/<drive id>/items/<item id>", the
                                 form every call taking an id accepts */
    const char *drive_id;     /* the drive that holds the item, or that a shortcut leads
                                 to: null for the account's own drive */
    int64_t size;             /* -1 when unknown */
    int64_t mtime_ms;         /* 0 when unknown */
    int folder;               /* 1 for folders */
    const char *mime_type;    /* file.mimeType; the extension's type where the service
                                 gave none or application/octet-stream (".mkv"
                                 video/x-matroska, ".srt" application/x-subrip, ...);
                                 null for folders and where none is known */
    const char *download_url; /* https only, or null; set when the answer carried one */
    /* media metadata from Graph's audio, video, photo and image facets; null / 0 when absent */
    const char *title, *artist, *album;
    int32_t track, year;
    int64_t duration_ms;
    int32_t width, height;
    int deleted; /* 1 for an entry nimbus_drive_changes reports deleted */
    /* "audio", "video" or "image" (static texts), null for folders and other
       files: the facet the service sent says what a file is (even an empty
       one), else the MIME type does. Listings with "Metadata" say the same. */
    const char *media_type;
    /* Since 1.1, from the facets, 0 when unknown: the bit rate in kilobits per
       second (the audio facet's, else the video facet's), and the number of
       audio channels (the video facet's). Read only in entries the library
       hands out: nimbus_entry_json does not read them. */
    int32_t bitrate_kbps, audio_channels;
} nimbus_entry;

/* nimbus_entry_json's flags. NIMBUS_ENTRY_MEDIA: the media members as a
 * listing whose settings say "Metadata": true carries them. The two others
 * choose another form instead of the listing's object (one of them at most,
 * without NIMBUS_ENTRY_MEDIA; folder is not read):
 * NIMBUS_ENTRY_LOCATOR: the stream locator nimbus_stream_url answers for a
 *   file, {"url","id","name","size","range":true}, from download_url
 *   (NIMBUS_E_UNSUPPORTED when it is null, NIMBUS_E_IS_FOLDER for a folder);
 * NIMBUS_ENTRY_LINE: one object a line for a walk or a search, {"path" (from
 *   the configured root, null when unknown), "name", "folder", "size", "id",
 *   "mtime_ms", "mime_type", "media_type", "title", "artist", "album",
 *   "track", "year", "duration_ms", "width", "height"}, each media member
 *   null where unknown (0 counts as unknown for the numbers). Since 1.1. */
#define NIMBUS_ENTRY_MEDIA 1
#define NIMBUS_ENTRY_LOCATOR 2
#define NIMBUS_ENTRY_LINE 4

/*
 * Writes one entry as the object a listing answer of nimbus_list carries in
 * its "items", byte for byte: name, "path" (folder, "/", name), id,
 * "parent_id" (folder), the fixed members and, with NIMBUS_ENTRY_MEDIA in
 * flags, the media members (title, year, media_type and container filled;
 * mime_type, artist, album, track and duration_ms after "available"; a
 * folder's all null). folder is the folder argument as nimbus_list was given
 * it: "" (or null) for the configured root, a path, or an item id. The entry
 * may be one a callback received or one the host filled itself; deleted,
 * drive_id, download_url, width and height are not written.
 * Answers NIMBUS_OK with the object and its NUL in out; NIMBUS_E_BUFFER when
 * out is null or too small (out[0] is then set to 0 where there is room, and
 * the object waits in nimbus_result_json() of this thread: its strlen is the
 * length out needs less the NUL); NIMBUS_E_INVALID (null entry, unknown
 * flags); NIMBUS_E_NOMEM. Makes no request.
 */
NIMBUS_API int nimbus_entry_json(const nimbus_entry *entry, const char *folder, int flags,
                                 char *out, int32_t out_len);

/* Return 0 to go on, anything else to stop the walk (the call then returns
 * NIMBUS_E_STOPPED). The entry and its texts are valid only during the call.
 * It may call the handle again (another listing, a lookup). */
typedef int (*nimbus_entry_fn)(void *ctx, const nimbus_entry *entry);
/* Called once each time the service issues a new refresh token, before the
 * call that got it returns. The text is valid only during the call: store a
 * copy where the host keeps its settings (the library keeps none beyond the
 * handle's memory, where it serves the handle's next grant). */
typedef void (*nimbus_token_fn)(void *ctx, const char *refresh_token);

/* Parses and checks the settings (same faults and messages as the requests:
 * NIMBUS_E_INVALID; a refresh token is required) and copies the transport
 * table (get and post required, else NIMBUS_E_INVALID); makes no request.
 * *out receives the handle, or null on failure. NIMBUS_E_NOMEM when memory
 * runs out. The table's ctx and callbacks must stay usable until the handle
 * is closed. */
NIMBUS_API int nimbus_drive_open(const char *settings, const nimbus_io *io, nimbus_drive **out);
/* Releases the handle (null is fine). No call on it may be running. */
NIMBUS_API void nimbus_drive_close(nimbus_drive *drive);
/* Sets (or, with a null fn, clears) the rotation callback. Set it before the
 * handle's first call: it runs on whichever thread made the grant, once per
 * rotated token, while the handle's other callers wait for that grant, so it
 * must not call back into the same handle. */
NIMBUS_API void nimbus_drive_on_token(nimbus_drive *drive, nimbus_token_fn fn, void *ctx);
/*
 * Lists a folder: null, "" or "/" for the configured root, a path starting
 * with "/" relative to it, or a Graph item id. fn is called once per entry,
 * in the order of the service's pages, de-duplicated by id, while the pages
 * arrive: one page is held at a time, never the whole listing. Pages, page
 * size ("PageSize"), next-link rule and limits (1000 pages, 100000 entries)
 * are those of nimbus_list; entries already handed to fn stay handed.
 * Answers NIMBUS_OK; NIMBUS_E_BAD_PATH (malformed folder, before any
 * request); NIMBUS_E_NOT_FOLDER (the path names a file); NIMBUS_E_STOPPED
 * (fn returned non-zero); NIMBUS_E_NOMEM; NIMBUS_E_INVALID (null drive or
 * fn); and the service's codes (NIMBUS_E_AUTH, NIMBUS_E_NOT_FOUND,
 * NIMBUS_E_THROTTLED, NIMBUS_E_UNAVAILABLE, NIMBUS_E_FAILED). A folder the
 * service keeps locked (a Personal Vault not unlocked, which looks like
 * any folder until it is listed) answers NIMBUS_E_AUTH, its message
 * saying it is locked; looking it up still answers the folder.
 */
NIMBUS_API int nimbus_drive_list(nimbus_drive *drive, const char *folder, nimbus_entry_fn fn,
                                 void *ctx);
/*
 * Looks up one item by path (starting with "/", relative to the configured
 * root; "/" is the root itself) or Graph item id and calls fn once with it.
 * A folder is not an error: the entry says folder. A file's download_url is
 * set when the service gave one. Answers NIMBUS_OK; NIMBUS_E_BAD_PATH (a
 * null, empty or malformed argument, before any request); NIMBUS_E_STOPPED
 * (fn returned non-zero); NIMBUS_E_NOMEM; NIMBUS_E_INVALID (null drive or
 * fn); and the service's codes as for nimbus_drive_list.
 */
NIMBUS_API int nimbus_drive_item(nimbus_drive *drive, const char *path_or_id, nimbus_entry_fn fn,
                                 void *ctx);
/*
 * Every entry beneath a folder (arguments as for nimbus_drive_list), with
 * its complete path (beneath a folder given by id, as in listings).
 * Two roads, "WalkMethod" in the settings ("auto", the default; "listing";
 * "changes"). By listings, folders are listed by level, in the order they
 * were found, up to "WalkConcurrency" of them at once (settings key, 1 to
 * 16); without it, 4 at first, one more with each prompt answer up to 16,
 * halved at the first sign of throttling (a 429 or 503, or an answer
 * slower than three times the quickest and half a second more): the
 * calling thread and up to that many less one helper threads, which the
 * call starts and joins before it returns (the library keeps no thread
 * between calls). Entries of folders listed at once may
 * interleave; each folder's come in the order of its pages. By the change
 * feed, one look-up of the folder and then its feed in pages of 1000 on the
 * calling thread, each entry after its folder; shortcuts met are then
 * listed as above (the feed does not enter other drives), and entries
 * whose folder the feed never gave are left out with NIMBUS_E_PARTIAL.
 * "auto" reads the feed on a personal drive when max_depth is 0 or more
 * than 2, on a business drive only when walking the drive's root (its feed
 * covers nothing else), and lists otherwise; a feed the service refuses at
 * its first page, or a folder on another drive, is listed.
 * fn is called from any of the walk's threads but never twice at once,
 * each call finished before the next starts, so it needs no lock of its
 * own (it may call the handle again; the walk's other threads wait
 * meanwhile).
 * max_depth counts levels of entries: 1 gives the folder's own entries,
 * 2 also theirs, and so on; 0 or less walks the whole tree.
 * Beneath the walk's folder, a broken shortcut (its shared folder gone or
 * no longer shared) is left out and the walk goes on, as is a folder the
 * service keeps locked (a Personal Vault not unlocked); so is, with
 * everything beneath it, an entry whose path would be deeper than 256
 * levels or longer than 2048 bytes (the service's own paths stop at 400
 * characters); and a folder the walk has listed before, by any id or
 * shortcut, is handed out but not listed again (a loop). The walk then
 * answers NIMBUS_E_PARTIAL with the counts and the first of each in the
 * message. Answers as for nimbus_drive_list otherwise; any other failure
 * ends the whole walk (entries handed to fn stay handed), also when more
 * than 100000 found folders wait to be listed, more than 1000000 folders
 * are listed, or more than 100000 feed items wait for their folder
 * (NIMBUS_E_FAILED).
 */
NIMBUS_API int nimbus_drive_walk(nimbus_drive *drive, const char *folder, int max_depth,
                                 nimbus_entry_fn fn, void *ctx);
/*
 * Searches the drive (within the configured root when one is set) for text,
 * as Graph's search matches it (names and contents), and calls fn once per
 * entry found, de-duplicated by id, while the pages arrive; paging and
 * limits as for nimbus_drive_list. An entry's path is complete when the
 * answer's parentReference.path gives its folder under the configured
 * root, else null. text (1 to 1024 bytes, no control characters) is sent
 * quoted and percent-encoded. Answers NIMBUS_OK; NIMBUS_E_INVALID (null
 * drive, fn or text, an empty, long or control-bearing text);
 * NIMBUS_E_STOPPED; NIMBUS_E_NOMEM; and the service's codes.
 */
NIMBUS_API int nimbus_drive_search(nimbus_drive *drive, const char *text, nimbus_entry_fn fn,
                                   void *ctx);
/*
 * The entries created, changed or deleted beneath a folder (arguments as
 * for nimbus_drive_list) since cursor, over Graph's change feed: with a
 * null cursor, every entry as it is now; with NIMBUS_CURSOR_LATEST, no
 * entry at all, only the cursor of the present (a host that keeps no copy
 * of the drive, or has just listed it, saves a whole drive's pages). The
 * entries of the feed and of walks carry no download_url (look an item up
 * for one). fn is called once per change, in
 * the feed's order (an item may come more than once; the last counts),
 * except that an entry whose folder the feed names later comes after that
 * folder, and one whose folder the feed never names comes after the last
 * page; a deleted entry has deleted set and may lack a name (its id's last
 * part stands in). path is the virtual path ("/" for the configured root
 * itself) and is complete, also for deleted entries, except: an entry
 * outside the configured root; one whose folder is gone (its folder was
 * deleted too); one of the folders past the first 200 per call that
 * the feed never names, each of which the library otherwise asks the
 * service for by id, once per call; and one whose drive path would be
 * deeper than 256 levels or longer than 2048 bytes, and everything beneath
 * it. Those have a null path (hosts key on id).
 * On NIMBUS_OK *next_cursor receives the cursor for the next call (a
 * malloc'd text: release it with free()); on failure it is set to null.
 * A cursor is a Graph link and must lie on the Graph service (as next
 * links do), else NIMBUS_E_INVALID. Paging and page limit as for listings.
 * Answers NIMBUS_OK; NIMBUS_E_RESYNC (the service no longer accepts the
 * cursor, HTTP 410: call again with a null cursor and take everything
 * anew); NIMBUS_E_UNSUPPORTED (a business drive, whose feed covers only
 * its root: any other folder, also a configured root path, is refused
 * before a request); NIMBUS_E_BAD_PATH; NIMBUS_E_INVALID (null drive, fn
 * or next_cursor, a foreign cursor); NIMBUS_E_STOPPED; NIMBUS_E_NOMEM;
 * and the service's codes.
 */
#define NIMBUS_CURSOR_LATEST "latest"
NIMBUS_API int nimbus_drive_changes(nimbus_drive *drive, const char *folder, const char *cursor,
                                    nimbus_entry_fn fn, void *ctx, char **next_cursor);
/* What the drive is, as nimbus_drive_about sees it. The struct and its texts
 * belong to the library and are valid only during the callback. */
typedef struct nimbus_about {
    const char *drive_type; /* "personal", "business" or "documentLibrary"; null when unknown */
    const char *owner;      /* the owner's display name (a user's, or a library's group);
                               null when unknown */
    /* quota in bytes, -1 when unknown */
    int64_t total, used, remaining, deleted; /* deleted: held by the recycle bin */
    const char *state; /* "normal", "nearing", "critical", "exceeded"; null when unknown */
} nimbus_about;
/* Return 0; anything else makes nimbus_drive_about answer NIMBUS_E_STOPPED. */
typedef int (*nimbus_about_fn)(void *ctx, const nimbus_about *about);
/*
 * The type, owner and quota of the signed-in user's drive (one request) and
 * calls fn once with them. Each member the service left out, or sent in a
 * form it never uses (a negative or fractional number, another type), is
 * unknown rather than an error. Answers NIMBUS_OK; NIMBUS_E_INVALID (null
 * drive or fn); NIMBUS_E_STOPPED; NIMBUS_E_NOMEM; and the service's codes
 * (NIMBUS_E_FAILED also for an answer that is no JSON object).
 */
NIMBUS_API int nimbus_drive_about(nimbus_drive *drive, nimbus_about_fn fn, void *ctx);
/* One thumbnail of an item, as nimbus_drive_thumbnail sees it. The struct
 * and its text belong to the library and are valid only during the callback. */
typedef struct nimbus_thumbnail {
    const char *url;       /* https, pre-authorised: fetch it without a token; it
                              changes when the item changes and lives for hours at
                              most, so keep the bytes rather than the URL */
    int32_t width, height; /* pixels, from 1 to 16384; 0 when the service gave none */
} nimbus_thumbnail;
/* Return 0; anything else makes nimbus_drive_thumbnail answer NIMBUS_E_STOPPED. */
typedef int (*nimbus_thumbnail_fn)(void *ctx, const nimbus_thumbnail *thumbnail);
/*
 * The thumbnail of an item (path_or_id as for nimbus_drive_item: the
 * configured root "/", a virtual path, an item id or a "drives/<d>/items/<i>"
 * id; a path beneath a shortcut is reached by its id only) in one of the
 * service's sizes: size is "small" (about 96 pixels on the longer side),
 * "medium" (176) or "large" (800). Files of pictures, audio with art and
 * video have thumbnails, and so do folders that hold pictures. One request;
 * calls fn once with the URL of the item's default set. Answers NIMBUS_OK;
 * NIMBUS_E_NOT_FOUND (no such item, or the item has no thumbnail of that
 * size); NIMBUS_E_BAD_PATH (a null, empty or malformed path_or_id, before
 * any request); NIMBUS_E_INVALID (null drive or fn, another size);
 * NIMBUS_E_STOPPED; NIMBUS_E_NOMEM; and the service's codes (NIMBUS_E_FAILED
 * also for an answer that is no thumbnail list, or whose URL is not https,
 * longer than 4096 bytes or holds a space or control byte, or whose width
 * or height is no whole number from 1 to 16384). Any thread, any number at
 * once, as the other handle calls (since 1.1).
 */
NIMBUS_API int nimbus_drive_thumbnail(nimbus_drive *drive, const char *path_or_id, const char *size,
                                      nimbus_thumbnail_fn fn, void *ctx);
/*
 * A sign-in grant at the token endpoint, built by the library, and the steps
 * before it: a host spells no identity-platform address. grant_json names
 * the grant:
 *   {"grant_type":"authorization_code","code":"...","redirect_uri":"...",
 *    "code_verifier":"..."}              (code_verifier optional: PKCE)
 *   {"grant_type":"urn:ietf:params:oauth:grant-type:device_code",
 *    "device_code":"..."}
 * The library adds client id, secret (unless "PublicClient" is true) and
 * scope from the settings, which need no refresh token, POSTs the form
 * through io to the token endpoint of the settings' "Cloud", reads the
 * answer as for a refresh grant and writes {"refresh_token":"...",
 * "expires_in":N} with its NUL into out.
 *
 * Without its code a grant is only prepared:
 *   {"grant_type":"authorization_code","code_challenge":"...","state":"...",
 *    "redirect_uri":"..."}
 *     makes no request (io may be null) and answers {"authorize_url":"..."}:
 *     the authorize endpoint of the token endpoint's tenant with client_id,
 *     response_type=code, redirect_uri, scope, state, code_challenge,
 *     code_challenge_method=S256, response_mode=query and
 *     prompt=select_account, every value percent-encoded. The challenge
 *     must be an S256 one (43 base64url characters).
 *   {"grant_type":"urn:ietf:params:oauth:grant-type:device_code"}
 *     POSTs client_id and scope (never a secret) to the device-code
 *     endpoint and answers the checked device authorization
 *     {"device_code":"...","user_code":"...","verification_uri":"https://...",
 *      "expires_in":N,"interval":N,"message":"..."}: expires_in from 1 to
 *     86400, interval from 1 to 600 (5 when the service gave none), message
 *     one line of at most 2048 bytes (made from the address and the user
 *     code when the service gave none); an answer outside these bounds is
 *     NIMBUS_E_FAILED. Show message to the user, then poll the device-code
 *     grant every interval seconds until expires_in runs out.
 *
 * Answers NIMBUS_OK; NIMBUS_E_PENDING while a device-code user has not
 * finished (the message starts with "authorization_pending" or
 * "slow_down"; on slow_down poll 5 seconds less often); NIMBUS_E_INVALID
 * (settings, transport table or grant_json at fault); NIMBUS_E_BUFFER (out
 * missing: refused before any request; too small: out[0] is set to 0 and,
 * since the code is spent, the answer waits in nimbus_result_json() of this
 * thread); NIMBUS_E_NOMEM; and the service's codes (NIMBUS_E_AUTH for a
 * refused grant, also for an answer without a refresh token, as when the
 * scope lacks offline_access; the device-code endpoint's refusals map the
 * same way).
 */
NIMBUS_API int nimbus_token_grant(const char *settings, const nimbus_io *io, const char *grant_json,
                                  char *out, int32_t out_len);

#ifdef __cplusplus
}
#endif

#endif /* NIMBUS_H */
