// driveItems as the drive handle reads them, media facets included: any
// bytes as one item, as a children page streamed through a callback, and
// as a search or change-feed page on another drive.
#include <cstdint>
#include <cstring>
#include <vector>

#include <yyjson.h>

#include "fuzz_check.h"
#include "graph/graph.h"

namespace {

// Every text of an entry is a NUL-terminated string whose bytes are read
// here (so a sanitizer sees a dangling one); numbers keep their ranges.
void check_entry(const nimbus_entry *e) {
    // An id on another drive ("drives/b!d2/items/" and the id) is longer.
    CHECK(e->id && e->id[0] && std::strlen(e->id) <= NIMBUS_ITEM_ID_MAX + 18);
    CHECK(e->name && e->name[0] && !std::strchr(e->name, '/'));
    const char *texts[] = {e->path,  e->drive_id, e->mime_type, e->download_url,
                           e->title, e->artist,   e->album};
    for (const char *t : texts)
        if (t)
            (void)std::strlen(t);
    if (e->download_url)
        CHECK(nimbus_is_https(e->download_url));
    CHECK(e->size >= -1);
    CHECK(e->track >= 0 && e->year >= 0 && e->width >= 0 && e->height >= 0);
    CHECK(e->duration_ms >= 0);
    CHECK(e->folder == 0 || e->folder == 1);
}

int on_entry(void *ctx, const nimbus_entry *e) {
    check_entry(e);
    auto *n = static_cast<size_t *>(ctx);
    return ++*n == 50; // stopping must end the walk at once
}

int on_feed(void *ctx, const nimbus_entry *e) {
    check_entry(e);
    CHECK(std::strncmp(e->id, "drives/b!d2/items/", 18) == 0);
    CHECK(!e->path || (e->path[0] == '/' && !std::strstr(e->path, "/../")));
    CHECK(e->deleted == 0 || e->deleted == 1);
    auto *n = static_cast<size_t *>(ctx);
    return ++*n == 50;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // One item: facets and entry fields.
    if (yyjson_doc *doc = yyjson_read_opts(reinterpret_cast<char *>(const_cast<uint8_t *>(data)),
                                           size, 0, nullptr, nullptr)) {
        nimbus_entry e{};
        nimbus_read_facets(yyjson_doc_get_root(doc), &e);
        CHECK(e.track >= 0 && e.year >= 0 && e.width >= 0 && e.height >= 0 && e.duration_ms >= 0);
        nimbus_buf scratch{};
        int got = nimbus_entry_from(yyjson_doc_get_root(doc), "/Music", 6, &scratch, &e);
        CHECK(got == 0 || got == 1);
        if (got == 0) {
            check_entry(&e);
            CHECK(std::strncmp(e.path, "/Music/", 7) == 0);
        }
        nimbus_buf_free(&scratch);
        yyjson_doc_free(doc);
    }

    // The same bytes as a children page, read in place, twice into one walk:
    // when the first pass went through, the second adds no entry (every id
    // was seen).
    nimbus_walk walk{};
    size_t calls = 0;
    walk.prefix = "";
    walk.fn = on_entry;
    walk.ctx = &calls;
    int first = NIMBUS_OK;
    for (int pass = 0; pass < 2 && first == NIMBUS_OK; pass++) {
        std::vector<char> body(size + YYJSON_PADDING_SIZE, 0);
        if (size)
            std::memcpy(body.data(), data, size);
        size_t before = calls;
        char *next = nullptr;
        char code[NIMBUS_CODE_SIZE];
        char msg[NIMBUS_MSG_SIZE] = "";
        int rc = nimbus_walk_page(&walk, body.data(), size, nullptr, &next, code, sizeof code, msg,
                                  sizeof msg);
        CHECK(rc == NIMBUS_OK || rc == NIMBUS_E_FAILED || rc == NIMBUS_E_STOPPED);
        CHECK(rc == NIMBUS_OK || next == nullptr);
        CHECK(rc == NIMBUS_OK || msg[0]);
        CHECK(calls <= 50 && (rc == NIMBUS_E_STOPPED) == (calls == 50 && calls > before));
        CHECK(walk.seen.count == calls);
        if (pass == 1)
            CHECK(rc == NIMBUS_OK && calls == before);
        first = rc;
        std::free(next);
    }
    nimbus_walk_free(&walk);

    // The same bytes as a search page on another drive: folders from
    // parentReference.path (a path, when given, is a clean virtual path
    // under the root).
    nimbus_walk feed{};
    size_t seen = 0;
    feed.fn = on_feed;
    feed.ctx = &seen;
    feed.by_parent = true;
    feed.root = "Media";
    feed.drive = "b!d2";
    std::vector<char> body(size + YYJSON_PADDING_SIZE, 0);
    if (size)
        std::memcpy(body.data(), data, size);
    char *next = nullptr;
    char code[NIMBUS_CODE_SIZE];
    char msg[NIMBUS_MSG_SIZE] = "";
    int rc = nimbus_walk_page(&feed, body.data(), size, nullptr, &next, code, sizeof code, msg,
                              sizeof msg);
    CHECK(rc == NIMBUS_OK || rc == NIMBUS_E_FAILED || rc == NIMBUS_E_STOPPED);
    std::free(next);
    nimbus_walk_free(&feed);
    return 0;
}
