// Media metadata of a driveItem from the facets Graph sends with it: audio,
// video, photo and image. Texts are borrowed from the document.
#include <cstring>

#include <yyjson.h>

#include "graph/graph.h"

namespace {

// The members of one facet this reader takes (each the first of its key).
struct facet {
    yyjson_val *title, *artist, *album, *track, *year, *duration, *width, *height, *taken;
    yyjson_val *bitrate, *channels;
};

facet read_facet(yyjson_val *obj);
const char *text_of(yyjson_val *v);
int32_t int32_of(yyjson_val *v);
int64_t ms_of(yyjson_val *v);
int32_t year_of(const char *iso8601);

} // namespace

void nimbus_read_facets(yyjson_val *item, nimbus_entry *entry) {
    if (!yyjson_is_obj(item)) {
        nimbus_media_of(nullptr, nullptr, nullptr, nullptr, entry);
        return;
    }
    nimbus_media_of(nimbus_json_member(item, "audio"), nimbus_json_member(item, "video"),
                    nimbus_json_member(item, "photo"), nimbus_json_member(item, "image"), entry);
}

void nimbus_media_of(yyjson_val *audio, yyjson_val *video, yyjson_val *photo, yyjson_val *image,
                     nimbus_entry *entry) {
    entry->title = entry->artist = entry->album = nullptr;
    entry->track = entry->year = entry->width = entry->height = 0;
    entry->duration_ms = 0;
    entry->bitrate_kbps = entry->audio_channels = 0;
    if (yyjson_is_obj(audio)) {
        facet f = read_facet(audio);
        entry->title = text_of(f.title);
        entry->artist = text_of(f.artist);
        entry->album = text_of(f.album);
        entry->track = int32_of(f.track);
        entry->year = int32_of(f.year);
        entry->duration_ms = ms_of(f.duration);
        entry->bitrate_kbps = int32_of(f.bitrate); // the audio facet counts in kbps
    }
    if (yyjson_is_obj(video)) {
        facet f = read_facet(video);
        if (!entry->duration_ms)
            entry->duration_ms = ms_of(f.duration);
        if (!entry->bitrate_kbps) // the video facet counts in bits per second
            entry->bitrate_kbps = int32_of(f.bitrate) / 1000;
        entry->audio_channels = int32_of(f.channels);
        entry->width = int32_of(f.width);
        entry->height = int32_of(f.height);
    }
    // A photo's year is the year it was taken; an audio file's own year wins.
    if (yyjson_is_obj(photo) && !entry->year)
        entry->year = year_of(text_of(read_facet(photo).taken));
    if (yyjson_is_obj(image) && !entry->width && !entry->height) {
        facet f = read_facet(image);
        entry->width = int32_of(f.width);
        entry->height = int32_of(f.height);
    }
}

const char *nimbus_media_kind(yyjson_val *audio, yyjson_val *video, yyjson_val *photo,
                              yyjson_val *image, const char *mime) {
    // A facet is the service's reading of the content, the MIME type mostly
    // the extension's: a facet wins, the video facet over an audio type too.
    if (yyjson_is_obj(audio) || (!yyjson_is_obj(video) && mime && !std::strncmp(mime, "audio/", 6)))
        return "audio";
    if (yyjson_is_obj(video) || (mime && !std::strncmp(mime, "video/", 6)))
        return "video";
    if (yyjson_is_obj(image) || yyjson_is_obj(photo) || (mime && !std::strncmp(mime, "image/", 6)))
        return "image";
    return nullptr;
}

namespace {

bool key_is(yyjson_val *key, const char *name, size_t n) {
    return unsafe_yyjson_get_len(key) == n && std::memcmp(unsafe_yyjson_get_str(key), name, n) == 0;
}

// One walk over a facet's members finds all it may hold, keeping the first
// of each key.
facet read_facet(yyjson_val *obj) {
    facet f{};
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(obj, idx, max, key, val) {
        yyjson_val **slot = nullptr;
        switch (unsafe_yyjson_get_len(key)) {
        case 4:
            if (key_is(key, "year", 4))
                slot = &f.year;
            break;
        case 5:
            if (key_is(key, "title", 5))
                slot = &f.title;
            else if (key_is(key, "album", 5))
                slot = &f.album;
            else if (key_is(key, "track", 5))
                slot = &f.track;
            else if (key_is(key, "width", 5))
                slot = &f.width;
            break;
        case 6:
            if (key_is(key, "artist", 6))
                slot = &f.artist;
            else if (key_is(key, "height", 6))
                slot = &f.height;
            break;
        case 7:
            if (key_is(key, "bitrate", 7))
                slot = &f.bitrate;
            break;
        case 8:
            if (key_is(key, "duration", 8))
                slot = &f.duration;
            break;
        case 13:
            if (key_is(key, "takenDateTime", 13))
                slot = &f.taken;
            else if (key_is(key, "audioChannels", 13))
                slot = &f.channels;
            break;
        default:
            break;
        }
        if (slot && !*slot)
            *slot = val;
    }
    return f;
}

// A non-empty string, or null. yyjson keeps every string NUL-terminated, so
// the text is usable as it stands (an escaped NUL ends it early).
const char *text_of(yyjson_val *v) {
    return yyjson_is_str(v) && yyjson_get_len(v) > 0 ? yyjson_get_str(v) : nullptr;
}

// An integer from 0 to INT32_MAX, else 0: a negative track or a width
// beyond 32 bits is no value a host could use.
int32_t int32_of(yyjson_val *v) {
    if (yyjson_is_uint(v) && yyjson_get_uint(v) <= static_cast<uint64_t>(INT32_MAX))
        return static_cast<int32_t>(yyjson_get_uint(v));
    return 0;
}

// A duration in milliseconds: an integer from 0 to INT64_MAX, else 0.
int64_t ms_of(yyjson_val *v) {
    if (yyjson_is_uint(v) && yyjson_get_uint(v) <= static_cast<uint64_t>(INT64_MAX))
        return static_cast<int64_t>(yyjson_get_uint(v));
    return 0;
}

// The year of an ISO 8601 date-time ("2019-06-01T...") when it starts with
// four digits, else 0.
int32_t year_of(const char *iso8601) {
    if (!iso8601)
        return 0;
    int32_t year = 0;
    for (int i = 0; i < 4; i++) {
        if (iso8601[i] < '0' || iso8601[i] > '9')
            return 0;
        year = year * 10 + (iso8601[i] - '0');
    }
    return iso8601[4] == '-' ? year : 0;
}

} // namespace
