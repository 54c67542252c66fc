// The JSON answer of a listing, written a block of entries at a time: the
// listing is already held (and counted in the listings' budget), while the
// whole answer of 100 000 entries would be some 40 MiB more per request.
#include "serve/json_answer.h"

#include "answers.h"

#include <cstring>
#include <new>

namespace cli {
namespace {

constexpr size_t kBlockRows = 256; // entries written per refill
constexpr size_t kBlockBytes = 64 * 1024;

struct writer {
    writer(const std::string &folder, std::shared_ptr<const folder_listing> l, bool media)
        : listing(std::move(l)), json(folder, media) {}
    std::shared_ptr<const folder_listing> listing;
    listing_json json;
    size_t next = 0; // the next row to write
    bool ended = false;
    std::string block;
    size_t sent = 0; // of block

    // The next block of the answer; false after the last.
    bool refill() {
        if (ended)
            return false;
        std::string name, id, mime, title, artist, album;
        for (size_t n = 0; n < kBlockRows && next < listing->size(); n++, next++) {
            folder_row r = listing->row(next);
            name.assign(r.name);
            id.assign(r.id);
            nimbus_entry e{};
            e.name = name.c_str();
            e.id = id.c_str();
            e.size = r.size;
            e.mtime_ms = r.mtime_ms;
            e.folder = r.folder ? 1 : 0;
            // The media keys as the listing kept them (empty: none).
            e.mime_type = text_or_null(r.mime, &mime);
            e.title = text_or_null(r.title, &title);
            e.artist = text_or_null(r.artist, &artist);
            e.album = text_or_null(r.album, &album);
            e.track = r.track;
            e.year = r.year;
            e.duration_ms = r.duration_ms;
            e.width = r.width;
            e.height = r.height;
            e.media_type = r.media_type;
            json.add(e);
        }
        if (next < listing->size()) {
            block = json.take();
        } else {
            block = json.finish();
            ended = true;
        }
        sent = 0;
        return true;
    }

    static const char *text_or_null(std::string_view v, std::string *keep) {
        if (v.empty())
            return nullptr;
        keep->assign(v);
        return keep->c_str();
    }

    static ssize_t read(void *cls, uint64_t, char *buf, size_t max) {
        auto &w = *static_cast<writer *>(cls);
        try {
            while (w.sent == w.block.size())
                if (!w.refill())
                    return MHD_CONTENT_READER_END_OF_STREAM;
        } catch (...) {
            return MHD_CONTENT_READER_END_WITH_ERROR; // memory ran out: the answer is cut
        }
        size_t n = std::min(max, w.block.size() - w.sent);
        std::memcpy(buf, w.block.data() + w.sent, n);
        w.sent += n;
        return static_cast<ssize_t>(n);
    }

    static void done(void *cls) { delete static_cast<writer *>(cls); }
};

} // namespace

MHD_Response *json_answer(const std::string &folder, std::shared_ptr<const folder_listing> l,
                          bool media) {
    writer *w = nullptr;
    try {
        w = new writer(folder, std::move(l), media);
    } catch (...) {
        return nullptr;
    }
    MHD_Response *r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kBlockBytes, writer::read,
                                                        w, writer::done);
    if (!r)
        delete w;
    return r;
}

} // namespace cli
