// Graph wire format: the request URLs and paging links, error envelopes and
// status mapping, driveItems into entry records, and the entry JSON the host
// receives.
#ifndef NIMBUS_GRAPH_H
#define NIMBUS_GRAPH_H

#include <cstddef>
#include <cstdint>

#include "nimbus.h"
#include "text/text.h"

struct yyjson_val;
struct yyjson_alc;
struct yyjson_read_err;

constexpr size_t NIMBUS_MAX_ENTRIES = 100000;
constexpr size_t NIMBUS_CODE_SIZE = 128;
// The longest item id an entry argument may carry; longer ones are not kept.
constexpr size_t NIMBUS_ITEM_ID_MAX = 2048;

// 0 when body is a JSON object (code filled when it is a Graph error
// envelope), NIMBUS_E_FAILED otherwise.
int nimbus_parse_error(const char *body, size_t len, char *code, size_t code_size, char *msg,
                       size_t size);
// Reads a Graph error envelope at an object root as nimbus_parse_error does;
// true when it carries a non-empty code.
bool nimbus_envelope(yyjson_val *root, char *code, size_t code_size, char *msg, size_t size);
// A success status carrying a Graph error envelope is a failed call: msg
// holds the envelope's message, or gets "<label>: Graph error <code>".
int nimbus_envelope_failure(const char *label, const char *code, char *msg, size_t size);
// The result code of an HTTP status and error code, writing its message.
int nimbus_map_graph(long status, const char *code, const char *message, char *msg, size_t size);

// Whether a refused listing is a locked folder's: a Personal Vault that is
// not unlocked answers its children with 400 invalidRequest "ObjectHandle
// is Invalid".
bool nimbus_locked_folder(long status, const char *body, size_t len);

// What the service's facets say about a file, kept when a listing asks
// ("Metadata" in the settings). Texts owned, null when absent.
struct nimbus_item_media {
    char *mime_type, *title, *artist, *album;
    int32_t track, year;
    int64_t duration_ms;
    const char *media_type; // "audio", "video", "image" (static), or null
};

// The type a file's extension names (".MKV" as ".mkv"), a static text, or
// null for a name without a known one.
const char *nimbus_type_of_name(const char *name);
// A file's MIME type: the service's when it names one, else (none, or
// application/octet-stream) the extension's, else what the service gave
// (null when it gave nothing). given, when returned, is returned as is.
const char *nimbus_file_type(const char *given, const char *name);

// One drive entry; a zeroed record is empty.
struct nimbus_item {
    char *id;
    char *name;
    char *path;
    int64_t size;     // -1 when unknown
    int64_t mtime_ms; // 0 when unknown
    int folder;
    nimbus_item_media *media; // owned; only in a list with media set
};

// The de-duplicating entry list of one listing; a zeroed record is empty.
struct nimbus_items {
    nimbus_item *items;
    size_t count;
    size_t cap;
    uint64_t *index; // open addressing over ids: 0 free, k -> items[k - 1]
    size_t index_cap;
    bool media; // set before the first page: entries keep their media facets
};

// Reads an answer of the service with nimbus_json_read, so that a text
// that is not well-formed UTF-8 spoils no more than itself: an id, a drive
// id, a download URL or a MIME type turns null (such an id names no item a
// request could reach, so its entry is left out like one without an id),
// every other text (names, media titles, links, messages) is repaired.
yyjson_doc *nimbus_graph_read(nimbus_doc_guard *doc, char *body, size_t len, bool in_place,
                              yyjson_alc *alc, yyjson_read_err *err);

int nimbus_parse_children_page(const char *body, size_t len, const char *prefix, nimbus_items *list,
                               char **next, char *msg, size_t size);
// The same from a body parsed in place: body is writable, holds len bytes and
// then YYJSON_PADDING_SIZE zero bytes, and is overwritten. alc (null for the
// standard heap) serves the document, so the pages of one listing reuse its
// memory. A root whose "error" member is a Graph error envelope with a code is
// not read as a page: the code goes into code, the envelope's message (when
// it has one) into msg, and the result is NIMBUS_E_FAILED. code is emptied
// first on every path.
int nimbus_parse_children_in_place(char *body, size_t len, yyjson_alc *alc, const char *prefix,
                                   nimbus_items *list, char **next, char *code, size_t code_size,
                                   char *msg, size_t size);
int nimbus_parse_single_item(const char *body, size_t len, const char *prefix, nimbus_item *item,
                             char *msg, size_t size);
char *nimbus_download_url_of(yyjson_val *item);
// A driveItem's "size" value in bytes: integers as signed 64-bit, reals in
// range truncated, anything else (and anything below -1) -1.
int64_t nimbus_size_of(yyjson_val *v);
// The members of a driveItem its readers use, found in one walk over its
// members (a driveItem has a few dozen; a lookup per key would walk them
// once each), the first of each key counting; absent ones stay null.
// The driveItem members an entry is made of, as a $select list: every one
// nimbus_scan_item reads but the download URL (which callers add where they
// want it).
constexpr char NIMBUS_ENTRY_MEMBERS[] = "id,name,size,lastModifiedDateTime,file,folder,remoteItem,"
                                        "parentReference,root,deleted,audio,video,photo,image";
struct nimbus_item_members {
    yyjson_val *id, *name, *size, *folder, *mtime, *file, *remote, *graph_url, *content_url;
    yyjson_val *audio, *video, *photo, *image, *deleted;
};
void nimbus_scan_item(yyjson_val *obj, nimbus_item_members *m);
// A shortcut to a file stands for the shared file: when m is one (a
// "remoteItem" without a folder facet on either side), its size, file facet,
// media facets and, when the remoteItem gives one, its time become the
// remoteItem's; a size the remoteItem lacks is unknown. Name, id and
// download URLs stay the shortcut's own.
void nimbus_file_shortcut(nimbus_item_members *m);
void nimbus_item_free(nimbus_item *item);
void nimbus_items_free(nimbus_items *list);

int nimbus_item_json(nimbus_buf *b, const nimbus_item *item, const char *parent);
// The same with the media members a listing with media set carries (item's
// media null: all of them null).
int nimbus_item_media_json(nimbus_buf *b, const nimbus_item *item, const char *parent);
int nimbus_items_json(nimbus_buf *b, const nimbus_items *list, const char *parent);
// The stream locator nimbus_stream_url answers for a file (null texts as null).
int nimbus_locator_json(nimbus_buf *b, const char *url, const char *id, const char *name,
                        int64_t size);
// One entry of a walk or a search as a line of its own: the path from the
// root, the fixed members and every media member (null where unknown).
int nimbus_entry_line_json(nimbus_buf *b, const nimbus_entry *e);
// The size of nimbus_items_json's document (with its NUL) when no byte
// needs escaping and every number takes its longest form.
size_t nimbus_items_json_size(const nimbus_items *list, const char *parent);

// ---- Streaming entries (the drive handle) ---------------------------------

// Media metadata into entry from a driveItem's facets (texts borrowed from
// the document; null / 0 where absent or unusable). nimbus_media_of takes
// the facet values themselves, any of which may be null.
void nimbus_read_facets(yyjson_val *item, nimbus_entry *entry);
void nimbus_media_of(yyjson_val *audio, yyjson_val *video, yyjson_val *photo, yyjson_val *image,
                     nimbus_entry *entry);
// What kind of media a file is, "audio", "video" or "image" (static), or
// null: a facet the service sent says it, even an empty one, else the MIME
// type (mime, which may be null) does.
const char *nimbus_media_kind(yyjson_val *audio, yyjson_val *video, yyjson_val *photo,
                              yyjson_val *image, const char *mime);
// Whether a driveItem is a folder: its own "folder" facet, or a shortcut
// whose "remoteItem" carries one (a shared folder added to the drive).
bool nimbus_is_folder(yyjson_val *folder, yyjson_val *remote);
// The drive and item a shortcut's "remoteItem" points at (texts borrowed
// from the document); false when item is no shortcut or either is unusable.
bool nimbus_remote_of(yyjson_val *item, const char **drive, const char **id);
// Whether n bytes of s may stand as a drive or item id in a URL path:
// letters, digits and "!-_." without "..".
bool nimbus_segment_ok(const char *s, size_t n);
// The drive path of the folder that holds item, from its
// parentReference.path ("/drive/root:/a/b" or "/drives/<id>/root:/a/b",
// percent-encoded): 1 with the decoded text after "root:" in out ("" for
// the drive's root, else "/a/b"), 0 when the answer gives none, or one
// with an empty, "." or ".." segment, a NUL, ill-formed UTF-8 or more than
// the walk's bounds; -1 without memory.
int nimbus_ref_folder(yyjson_val *item, nimbus_buf *out);
// Whether the drive path of len bytes lies at or beneath root (the
// configured root path without its "/", or null for the drive's root):
// *cut is then the length of the root's part of it.
bool nimbus_beneath_root(const char *path, size_t len, const char *root, size_t *cut);
// The virtual path of the item an answer describes, from its
// parentReference.path and name (its cleaned name): 1 with out set ("/"
// for root itself), 0 when the answer gives none usable or the item lies
// outside root, -1 without memory.
int nimbus_item_vpath(yyjson_val *item, const char *name, const char *root, nimbus_buf *out);
// An argument of the form "drives/<drive id>/items/<item id>", the id an
// entry on another drive (beneath a shortcut) carries: its parts, borrowed.
bool nimbus_remote_id(const char *arg, const char **drive, size_t *drive_len, const char **item);
// Whether url starts with "https://" (letter case aside).
bool nimbus_is_https(const char *url);

// The ids a streaming listing has handed out, for de-duplication across
// pages: the ids themselves, back to back with their NULs, and an
// open-addressing table of their offsets. A zeroed record is empty.
struct nimbus_idset {
    nimbus_buf ids;
    uint64_t *slots; // 0 free; else the high half of the id's hash, and its offset + 1
    size_t cap;
    size_t count;
};
void nimbus_idset_free(nimbus_idset *set);

// Fills entry from one driveItem object. Its texts borrow from the document
// and from scratch, so they live until either changes. prefix is the virtual
// path of the folder that holds the item ("" for the root) or null when the
// path is unknown (the entry's path is then null). 0 when filled, 1 when
// the object is no entry (no usable id), -1 when memory ran out.
int nimbus_entry_from(yyjson_val *obj, const char *prefix, size_t prefix_len, nimbus_buf *scratch,
                      nimbus_entry *entry);

// One streaming listing's state across its pages.
struct nimbus_walk {
    const char *prefix; // as for nimbus_entry_from
    size_t prefix_len;
    nimbus_entry_fn fn;
    void *ctx;
    nimbus_idset seen;
    nimbus_buf scratch;
    // The other drive the listing reads (beneath a shortcut), or null: its
    // entries get drive_id and the "drives/<d>/items/<i>" id, built in ids.
    const char *drive;
    nimbus_buf ids;
    // Search answers: each entry's folder comes from its
    // parentReference.path, relative to root (the configured root path
    // without its "/", or null); prefix is then unused.
    bool by_parent;
    const char *root;
    nimbus_buf parent;
    // While fn runs for a shortcut to a folder: the shared folder's drive
    // and item ids (borrowed from the page), else null.
    const char *target_drive;
    const char *target_item;
};
void nimbus_walk_free(nimbus_walk *walk);
// The head of a paged answer (children, search, change feed pages), read
// in place into *doc: its value[] and its "@odata.nextLink" (owned, null
// on the last page). what names the answer in messages. NIMBUS_OK, or a
// code with msg set (for an error envelope code gets the service's code,
// msg its message or "<what>: Graph error <code>").
int nimbus_page_open(char *body, size_t len, yyjson_alc *alc, const char *what,
                     nimbus_doc_guard *doc, yyjson_val **value, nimbus_str *next, char *code,
                     size_t code_size, char *msg, size_t size);
// Reads one children page in place (body as for
// nimbus_parse_children_in_place) and calls walk->fn for every entry not
// seen before. NIMBUS_OK (with *next the owned next link, or null);
// NIMBUS_E_STOPPED when fn returned non-zero; NIMBUS_E_NOMEM; or
// NIMBUS_E_FAILED for a malformed page, an error envelope (its code in
// code) or more than NIMBUS_MAX_ENTRIES distinct entries. The document is
// released before the call returns.
int nimbus_walk_page(nimbus_walk *walk, char *body, size_t len, yyjson_alc *alc, char **next,
                     char *code, size_t code_size, char *msg, size_t size);

// ---- Requests and the drive ------------------------------------------------

// The header lines (nimbus_http_with's form) a GET of url needs, "" for
// none: listings and the change feed ask for shortcuts to shared folders,
// which a personal drive leaves out of both otherwise. Null when the
// settings do not say the host's transport reads header markers.
const char *nimbus_graph_headers(const nimbus_cfg *cfg, const char *url);

// What GET /me/drive says of the drive. type and state are static texts,
// owner is owned; each is null, and each number -1, when the answer lacks it
// or gives it in a form the service never sends. A zeroed record is not
// empty: use nimbus_drive_facts_init.
struct nimbus_drive_facts {
    const char *type; // "personal", "business", "documentLibrary"
    char *owner;      // owner.user (or owner.group) displayName, 1 to 1024 bytes
    int64_t total, used, remaining, deleted;
    const char *state; // "normal", "nearing", "critical", "exceeded"
};
constexpr size_t NIMBUS_OWNER_MAX = 1024;
void nimbus_drive_facts_init(nimbus_drive_facts *f);
void nimbus_drive_facts_free(nimbus_drive_facts *f);
// NIMBUS_OK; NIMBUS_E_FAILED when the body is no JSON object or is a Graph
// error envelope; NIMBUS_E_NOMEM. f is initialised first on every path.
int nimbus_parse_drive(const char *body, size_t len, nimbus_drive_facts *f, char *msg, size_t size);

// One thumbnail of an item's first set: an owned https URL and its sides
// (1 to NIMBUS_THUMB_SIDE_MAX, 0 when not given). A zeroed record is empty.
struct nimbus_thumb {
    char *url;
    int32_t width, height;
};
constexpr size_t NIMBUS_THUMB_URL_MAX = 4096;
constexpr int32_t NIMBUS_THUMB_SIDE_MAX = 16384;
// Whether name is one of the service's sizes: "small", "medium", "large".
bool nimbus_thumb_size_ok(const char *name);
void nimbus_thumb_free(nimbus_thumb *t);
// Reads a thumbnails answer for the size name (checked by the caller):
// NIMBUS_OK; NIMBUS_E_NOT_FOUND when there is no set or the first set has
// no such size; NIMBUS_E_FAILED for no JSON object, an error envelope, a
// malformed list or set, a URL that is not one line of https within
// NIMBUS_THUMB_URL_MAX bytes, or a side that is no whole number within the
// bound; NIMBUS_E_NOMEM. t is emptied first on every path.
int nimbus_parse_thumbnail(const char *body, size_t len, const char *name, nimbus_thumb *t,
                           char *msg, size_t size);

// ---- Request URLs -----------------------------------------------------------

// The longest drive path (the configured root path and a virtual path
// joined) a request may name.
constexpr size_t NIMBUS_PATH_MAX = 2048;

// Appends "/" + the configured root path (when set) and then vpath.
void nimbus_join_root(const nimbus_cfg *cfg, const char *vpath, nimbus_buf *out);
// nimbus_join_root into out, then -1 when an append failed (out may hold a part).
int nimbus_join_checked(const nimbus_cfg *cfg, const char *vpath, nimbus_buf *out);

// Each builder below appends one Graph URL of the settings' cloud to url and
// returns 0, or -1 without memory (url may then hold a part).

// The item at a drive path (already joined to the configured root).
int nimbus_root_path_url(const nimbus_cfg *cfg, const char *path, nimbus_buf *url);
// The item a handle's argument names: the configured root ("/"), a virtual
// path beneath it, an item id, or a "drives/<d>/items/<i>" id. arg is not null.
int nimbus_item_url(const nimbus_cfg *cfg, const char *arg, nimbus_buf *url);
// An item on another drive by its drive and item ids, and the path rest
// ("" or starting with "/") beneath it; with children, its children.
int nimbus_remote_place_url(const nimbus_cfg *cfg, const nimbus_buf *drive, const nimbus_buf *item,
                            const nimbus_buf *rest, bool children, nimbus_buf *url);
// The item (or its children) an argument of the "drives/<d>/items/<i>" form names.
int nimbus_remote_id_url(const nimbus_cfg *cfg, const char *arg, bool children, nimbus_buf *url);
// Appends the "drives/<d>/items/<i>" id of an item on another drive to out.
int nimbus_remote_id_of(nimbus_buf *out, const char *drive, size_t drive_len, const char *item);
// The children of a folder (a virtual path, an item id or null for the
// root), checked first: NIMBUS_OK; NIMBUS_E_NOT_FOUND for an argument no
// request could carry, NIMBUS_E_FAILED without memory, with msg set.
int nimbus_children_url(const nimbus_cfg *cfg, const char *folder, nimbus_buf *out, char *msg,
                        size_t size);
// A search for text (checked by the caller) within the configured root.
int nimbus_search_url(const nimbus_cfg *cfg, const char *text, nimbus_buf *url);
// The change feed of a folder (as nimbus_item_url takes it, null for the
// root) from its start, or with latest from the present on.
int nimbus_delta_url(const nimbus_cfg *cfg, const char *folder, bool latest, nimbus_buf *url);
// The drive's type, owner and quota.
int nimbus_drive_facts_url(const nimbus_cfg *cfg, nimbus_buf *url);
// The thumbnail sets of an item (as nimbus_item_url takes its argument).
int nimbus_thumbnails_url(const nimbus_cfg *cfg, const char *arg, nimbus_buf *url);

// Which members of each driveItem a handle's request asks for: every
// member (the flat listing's requests, whose URLs hosts script), those an
// entry is made of, or those and the download URL. An item in whole is
// some six times the size of the members read, and its download URL
// (several hundred bytes) is wanted only where a host plays from the answer.
enum class nimbus_select { all, entries, playable };
// Appends "?$top=" and the page size to a URL without a query yet.
int nimbus_add_top(nimbus_buf *url, int32_t top);
// Appends "$select=..." for what to the URL, after "?" or "&" as its query
// stands. 0, or -1 without memory; nothing for nimbus_select::all.
int nimbus_add_select(nimbus_buf *url, nimbus_select what);
// The request for one page of a listing into req: link as it stands when it
// carries a query (a next link keeps the service's own, $select included),
// else with "?$top=", the settings' page size and what to select. 0, or -1
// without memory.
int nimbus_page_url(const nimbus_cfg *cfg, const char *link, nimbus_buf *req,
                    nimbus_select what = nimbus_select::all);

// ---- Paging links ---------------------------------------------------------

// The most pages one listing or feed follows.
constexpr int NIMBUS_MAX_PAGES = 1000;
// A page's link member ("@odata.nextLink", "@odata.deltaLink") of the
// answer's root object into link: an owned copy when it is a non-empty
// text, else null. 0, or -1 without memory.
int nimbus_page_link(yyjson_val *root, const char *member, nimbus_str *link);
// Whether link names the scheme, host and port of base: the same text up to
// the end of base's authority (letter case aside), after which the link's
// authority must end too. A longer host, another port (also an explicit
// default one) or user information therefore never match. The bearer token
// travels with every page request, so no other link is followed.
bool nimbus_on_graph_origin(const char *link, const char *base);
// The same for the Graph service of cfg's cloud.
bool nimbus_on_graph(const nimbus_cfg *cfg, const char *link);
// Whether a page's next link may be followed: on the Graph service of cfg's
// cloud and within the page budget, which it counts down. Otherwise
// NIMBUS_E_FAILED with "<label>: the next link ... is not on the Graph
// service" or "<whole> needs more than ... pages" in msg.
int nimbus_next_link_check(const nimbus_cfg *cfg, const char *next, const char *label,
                           const char *whole, int *budget, char *msg, size_t size);

#endif // NIMBUS_GRAPH_H
