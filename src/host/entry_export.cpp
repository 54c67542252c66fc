// nimbus_entry_json: one entry as the object of a listing answer, written by
// the listing's own writer, so that a host that lists through the drive
// handle can answer what nimbus_list answers without a writer of its own;
// or as the stream locator, or as a walk's line.
#include <cstdlib>
#include <cstring>

#include "graph/graph.h"
#include "host/host.h"
#include "text/text.h"

namespace {

constexpr char OOM[] = "out of memory";

// The listing's record of the entry; its texts are borrowed (the writer
// only reads them), but for the path, which is made here.
struct borrowed {
    nimbus_item item{};
    nimbus_item_media media{};
    nimbus_buf path{};
    ~borrowed() { nimbus_buf_free(&path); }
};

char *text(const char *s) {
    return const_cast<char *>(s);
}

// The path a listing gives: the folder argument, "/" and the name.
int fill(borrowed *r, const nimbus_entry *e, const char *folder, bool media) {
    if (nimbus_buf_adds(&r->path, folder) != 0 || nimbus_buf_add(&r->path, "/", 1) != 0 ||
        (e->name && nimbus_buf_adds(&r->path, e->name) != 0))
        return -1;
    r->item.id = text(e->id);
    r->item.name = text(e->name);
    r->item.path = r->path.data;
    r->item.size = e->size;
    r->item.mtime_ms = e->mtime_ms;
    r->item.folder = e->folder ? 1 : 0;
    // A listing keeps no media of a folder.
    if (!media || e->folder)
        return 0;
    r->media.mime_type = text(e->mime_type);
    r->media.title = text(e->title);
    r->media.artist = text(e->artist);
    r->media.album = text(e->album);
    r->media.track = e->track;
    r->media.year = e->year;
    r->media.duration_ms = e->duration_ms;
    r->media.media_type = e->media_type;
    r->item.media = &r->media;
    return 0;
}

int fail(int code, const char *msg) {
    nimbus_publish(code, msg, nullptr);
    return code;
}

} // namespace

extern "C" NIMBUS_API int nimbus_entry_json(const nimbus_entry *entry, const char *folder,
                                            int flags, char *out, int32_t out_len) {
    if (!entry)
        return fail(NIMBUS_E_INVALID, "the entry is NULL");
    if (flags != 0 && flags != NIMBUS_ENTRY_MEDIA && flags != NIMBUS_ENTRY_LOCATOR &&
        flags != NIMBUS_ENTRY_LINE)
        return fail(NIMBUS_E_INVALID, "unknown flags, or more than one form");
    if (!folder)
        folder = "";
    borrowed r;
    nimbus_buf json{};
    nimbus_buf_guard json_guard{&json};
    int bad;
    if (flags == NIMBUS_ENTRY_LOCATOR) {
        if (entry->folder)
            return fail(NIMBUS_E_IS_FOLDER, "a folder has no stream locator");
        if (!entry->download_url)
            return fail(NIMBUS_E_UNSUPPORTED, "the entry carries no download URL");
        bad = nimbus_locator_json(&json, entry->download_url, entry->id, entry->name, entry->size);
    } else if (flags == NIMBUS_ENTRY_LINE) {
        bad = nimbus_entry_line_json(&json, entry);
    } else {
        bool media = flags == NIMBUS_ENTRY_MEDIA;
        bad = fill(&r, entry, folder, media) != 0 ||
              (media ? nimbus_item_media_json(&json, &r.item, folder)
                     : nimbus_item_json(&json, &r.item, folder)) != 0;
    }
    if (bad || !json.data)
        return fail(NIMBUS_E_NOMEM, OOM);
    if (out && out_len > 0 && json.len < static_cast<size_t>(out_len)) {
        std::memcpy(out, json.data, json.len + 1);
        nimbus_publish(NIMBUS_OK, nullptr, nullptr);
        return NIMBUS_OK;
    }
    if (out && out_len > 0)
        out[0] = '\0';
    char *owned = json.data;
    json = nimbus_buf{};
    nimbus_publish_owned(NIMBUS_E_BUFFER, "output buffer too small", owned);
    return NIMBUS_E_BUFFER;
}
