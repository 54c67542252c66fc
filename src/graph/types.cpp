// The MIME type of a drive file. The service types some media as
// application/octet-stream (Matroska films most often) or not at all; a
// player then cannot tell a film from any other bytes, so the file's
// extension names the type instead. Every type the library hands out
// (entries, listings with media metadata) comes through here.
#include <cstring>

#include "graph/graph.h"

namespace {

// Sorted by extension (lower case) for the binary search. The names are
// the ones players and DLNA renderers choose a decoder by.
struct ext_type {
    const char *ext;
    const char *type;
};
const ext_type TYPES[] = {
    // clang-format off
    {"3gp", "video/3gpp"},
    {"aac", "audio/aac"},
    {"aif", "audio/aiff"},
    {"aiff", "audio/aiff"},
    {"ape", "audio/x-ape"},
    {"ass", "text/x-ssa"},
    {"avi", "video/x-msvideo"},
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"dsf", "audio/x-dsf"},
    {"flac", "audio/flac"},
    {"flv", "video/x-flv"},
    {"gif", "image/gif"},
    {"heic", "image/heic"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"m2ts", "video/mp2t"},
    {"m4a", "audio/mp4"},
    {"m4b", "audio/mp4"},
    {"m4v", "video/mp4"},
    {"mka", "audio/x-matroska"},
    {"mkv", "video/x-matroska"},
    {"mov", "video/quicktime"},
    {"mp2", "audio/mpeg"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"mpc", "audio/x-musepack"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"oga", "audio/ogg"},
    {"ogg", "audio/ogg"},
    {"ogv", "video/ogg"},
    {"opus", "audio/ogg"},
    {"png", "image/png"},
    {"srt", "application/x-subrip"},
    {"ssa", "text/x-ssa"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"ts", "video/mp2t"},
    {"txt", "text/plain"},
    {"vtt", "text/vtt"},
    {"wav", "audio/wav"},
    {"webm", "video/webm"},
    {"webp", "image/webp"},
    {"wma", "audio/x-ms-wma"},
    {"wmv", "video/x-ms-wmv"},
    {"wv", "audio/x-wavpack"},
    // clang-format on
};
constexpr size_t EXT_MAX = 4;

} // namespace

const char *nimbus_type_of_name(const char *name) {
    const char *dot = name ? std::strrchr(name, '.') : nullptr;
    if (!dot || dot == name || std::strchr(dot, '/'))
        return nullptr;
    size_t n = std::strlen(dot + 1);
    if (n == 0 || n > EXT_MAX)
        return nullptr;
    char ext[EXT_MAX + 1];
    for (size_t i = 0; i <= n; i++) {
        char c = dot[1 + i];
        ext[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    size_t lo = 0, hi = sizeof TYPES / sizeof TYPES[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int cmp = std::strcmp(ext, TYPES[mid].ext);
        if (cmp == 0)
            return TYPES[mid].type;
        if (cmp < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return nullptr;
}

const char *nimbus_file_type(const char *given, const char *name) {
    if (given && *given && std::strcmp(given, "application/octet-stream") != 0)
        return given;
    const char *known = nimbus_type_of_name(name);
    return known ? known : given && *given ? given : nullptr;
}
