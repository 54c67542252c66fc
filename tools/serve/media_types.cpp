#include "serve/media_types.h"

#include <cstring>

namespace cli {

const char *const kUnknownMediaType = "application/octet-stream";

namespace {

// DLNA renderers choose a player by these names (protocolInfo), so the
// media entries keep the names renderers know.
const char *const kTypes[][2] = {
    // audio
    {"aac", "audio/aac"},
    {"aif", "audio/aiff"},
    {"aiff", "audio/aiff"},
    {"flac", "audio/flac"},
    {"m4a", "audio/mp4"},
    {"m4b", "audio/mp4"},
    {"mka", "audio/x-matroska"},
    {"mp3", "audio/mpeg"},
    {"oga", "audio/ogg"},
    {"ogg", "audio/ogg"},
    {"opus", "audio/ogg"},
    {"wav", "audio/wav"},
    {"wma", "audio/x-ms-wma"},
    // video
    {"3gp", "video/3gpp"},
    {"avi", "video/x-msvideo"},
    {"m2ts", "video/mp2t"},
    {"m4v", "video/mp4"},
    {"mkv", "video/x-matroska"},
    {"mov", "video/quicktime"},
    {"mp4", "video/mp4"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"ogv", "video/ogg"},
    {"ts", "video/mp2t"},
    {"webm", "video/webm"},
    {"wmv", "video/x-ms-wmv"},
    // images (raster only: SVG is a document that runs scripts)
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"gif", "image/gif"},
    {"heic", "image/heic"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"png", "image/png"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"webp", "image/webp"},
    // text shown as it is, and subtitles
    {"log", "text/plain"},
    {"md", "text/plain"},
    {"nfo", "text/plain"},
    {"srt", "application/x-subrip"},
    {"txt", "text/plain"},
    {"vtt", "text/vtt"},
};

} // namespace

const char *media_type_for(const std::string &name) {
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && slash > dot))
        return kUnknownMediaType;
    std::string ext = name.substr(dot + 1);
    if (ext.size() > 8)
        return kUnknownMediaType;
    for (char &c : ext)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    for (const auto &k : kTypes)
        if (ext == k[0])
            return k[1];
    return kUnknownMediaType;
}

} // namespace cli
