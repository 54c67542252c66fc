#include "profiles.h"

#include <cstdint>
#include <cstring>

#include "didl.h"

namespace dlna {

namespace {

// One way a file earns a profile; the first row that fits names it.
struct profile_row {
    const char *mime;    // as clean_mime writes it
    const char *pn;      // the DLNA.ORG_PN value
    int max_width;       // > 0: both dimensions known and within these
    int max_height;      //
    int64_t max_kbps;    // > 0: the average bitrate, where known, within this
    bool needs_bitrate;  // the bitrate must be known (it bounds a smaller profile)
    const char *not_ext; // a name with this extension never fits ("mp2")
};

// clang-format off
const profile_row kProfiles[] = {
    {"audio/mpeg", "MP3", 0, 0, 0, false, "mp2"},
    {"audio/mp4", "AAC_ISO_320", 0, 0, 320, true, nullptr},
    {"audio/mp4", "AAC_ISO", 0, 0, 576, false, nullptr},
    {"audio/x-m4a", "AAC_ISO_320", 0, 0, 320, true, nullptr},
    {"audio/x-m4a", "AAC_ISO", 0, 0, 576, false, nullptr},
    {"audio/l16", "LPCM", 0, 0, 0, false, nullptr},
    {"image/jpeg", "JPEG_SM", 640, 480, 0, false, nullptr},
    {"image/jpeg", "JPEG_MED", 1024, 768, 0, false, nullptr},
    {"image/jpeg", "JPEG_LRG", 4096, 4096, 0, false, nullptr},
};
// clang-format on

const char kStreamingFlags[] = "01700000000000000000000000000000";
const char kInteractiveFlags[] = "00F00000000000000000000000000000";

bool starts_with(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// The lower-cased extension of the path's last segment ("" when none).
std::string extension(const std::string &path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return std::string();
    std::string ext = path.substr(dot + 1);
    for (char &c : ext)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

// An upper bound of the average bitrate in kbit/s (bits per millisecond):
// the file's size over its duration, container and embedded pictures
// included, so a file it admits to a profile is within that profile. -1
// when either is unknown.
int64_t kbps_bound(const item &it) {
    if (it.size < 0 || it.duration_ms <= 0)
        return -1;
    if (it.size > INT64_MAX / 8)
        return INT64_MAX;
    int64_t bits = it.size * 8;
    return bits / it.duration_ms + (bits % it.duration_ms != 0);
}

bool fits(const profile_row &row, const item &it, const std::string &mime) {
    if (mime != row.mime)
        return false;
    if (row.not_ext && extension(it.path) == row.not_ext)
        return false;
    if (row.max_width > 0 &&
        (it.width <= 0 || it.height <= 0 || it.width > row.max_width || it.height > row.max_height))
        return false;
    if (row.max_kbps > 0) {
        int64_t kbps = kbps_bound(it);
        if (kbps < 0 ? row.needs_bitrate : kbps > row.max_kbps)
            return false;
    }
    return true;
}

} // namespace

const char *media_profile(const item &it) {
    if (it.folder)
        return nullptr;
    std::string mime = clean_mime(it.mime);
    for (const profile_row &row : kProfiles)
        if (fits(row, it, mime))
            return row.pn;
    return nullptr;
}

const char *transfer_mode(const item &it) {
    if (it.folder)
        return nullptr;
    std::string mime = clean_mime(it.mime);
    if (starts_with(mime, "audio/") || starts_with(mime, "video/"))
        return "Streaming";
    if (starts_with(mime, "image/"))
        return "Interactive";
    return nullptr;
}

std::string content_features(const item &it) {
    const char *mode = transfer_mode(it);
    if (!mode)
        return "*";
    std::string field;
    if (const char *pn = media_profile(it)) {
        field = "DLNA.ORG_PN=";
        field += pn;
        field += ';';
    }
    field += "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=";
    // Images are never streamed: their flags name the interactive mode.
    field += std::strcmp(mode, "Interactive") == 0 ? kInteractiveFlags : kStreamingFlags;
    return field;
}

std::string protocol_info(const item &it) {
    return "http-get:*:" + clean_mime(it.mime) + ":" + content_features(it);
}

bool offered(const item &it) {
    if (it.folder)
        return true;
    std::string mime = clean_mime(it.mime);
    if (starts_with(mime, "audio/") || starts_with(mime, "video/"))
        return true;
    // An SVG is a document (scripts, links), not a picture a TV shows.
    if (starts_with(mime, "image/"))
        return mime.find("svg") == std::string::npos;
    // Subtitles stay beside their films, however the service typed them.
    std::string ext = extension(it.path);
    return ext == "srt" || ext == "vtt" || mime == "application/x-subrip" || mime == "text/vtt";
}

} // namespace dlna
