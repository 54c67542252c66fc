// Media metadata of a driveItem from the facets Graph sends with it: audio,
// video, photo and image. Texts are borrowed from the document.
#include <cstring>

#include <yyjson.h>

#include "graph/graph.h"

namespace {

const char *text_of(yyjson_val *obj, const char *key);
int32_t int32_of(yyjson_val *obj, const char *key);
int64_t ms_of(yyjson_val *obj, const char *key);
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
    if (yyjson_is_obj(audio)) {
        entry->title = text_of(audio, "title");
        entry->artist = text_of(audio, "artist");
        entry->album = text_of(audio, "album");
        entry->track = int32_of(audio, "track");
        entry->year = int32_of(audio, "year");
        entry->duration_ms = ms_of(audio, "duration");
    }
    if (yyjson_is_obj(video)) {
        if (!entry->duration_ms)
            entry->duration_ms = ms_of(video, "duration");
        entry->width = int32_of(video, "width");
        entry->height = int32_of(video, "height");
    }
    // A photo's year is the year it was taken; an audio file's own year wins.
    if (yyjson_is_obj(photo) && !entry->year)
        entry->year = year_of(text_of(photo, "takenDateTime"));
    if (yyjson_is_obj(image) && !entry->width && !entry->height) {
        entry->width = int32_of(image, "width");
        entry->height = int32_of(image, "height");
    }
}

namespace {

// A non-empty string member, or null. yyjson keeps every string
// NUL-terminated, so the text is usable as it stands (an escaped NUL ends
// it early).
const char *text_of(yyjson_val *obj, const char *key) {
    yyjson_val *v = nimbus_json_member(obj, key);
    return yyjson_is_str(v) && yyjson_get_len(v) > 0 ? yyjson_get_str(v) : nullptr;
}

// An integer member from 0 to INT32_MAX, else 0: a negative track or a
// width beyond 32 bits is no value a host could use.
int32_t int32_of(yyjson_val *obj, const char *key) {
    yyjson_val *v = nimbus_json_member(obj, key);
    if (yyjson_is_uint(v) && yyjson_get_uint(v) <= static_cast<uint64_t>(INT32_MAX))
        return static_cast<int32_t>(yyjson_get_uint(v));
    return 0;
}

// A duration in milliseconds: an integer from 0 to INT64_MAX, else 0.
int64_t ms_of(yyjson_val *obj, const char *key) {
    yyjson_val *v = nimbus_json_member(obj, key);
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
