// The gateway's M3U playlists (see playlists.h).
#include "serve/playlists.h"

#include "output.h"
#include "text.h"

#include <algorithm>
#include <cstdint>

namespace cli {

namespace {

// Says that a playlist holds only the first kMaxRows of a folder's entries.
std::string cut_note(size_t total) {
    return "Only the first " + std::to_string(kMaxRows) + " of " + std::to_string(total) +
           " entries are shown";
}

// One playlist entry: "Artist - Title" when the service knows both, else
// the name; the duration in whole seconds, -1 when unknown. With a secret,
// the URL carries a capability for that file alone, however the playlist
// was asked for: a playlist goes to players and is passed around, and the
// secret must not go with it.
void add_track(std::string *body, const folder_row &r, const std::string &path,
               const std::string &host, const capability_key &caps, long long now) {
    long long seconds = r.duration_ms > 0 ? (r.duration_ms + 500) / 1000 : -1;
    *body += "#EXTINF:" + std::to_string(seconds) + ",";
    if (!r.artist.empty() && !r.title.empty())
        *body += printable(std::string(r.artist)) + " - " + printable(std::string(r.title));
    else
        *body += printable(std::string(r.name));
    *body += "\nhttp://";
    *body += host;
    *body += url_encode(path, true);
    std::string c = caps.suffix(path, now);
    if (!c.empty())
        *body += "?" + c;
    *body += '\n';
}

} // namespace

bool playable(std::string_view mime) {
    return mime.compare(0, 6, "audio/") == 0 || mime.compare(0, 6, "video/") == 0;
}

bool host_header_ok(const std::string &host) {
    if (host.empty() || host.size() > 255)
        return false;
    for (unsigned char c : host)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_'))
            return false;
    return true;
}

std::string folder_playlist(const folder_listing &l, const std::string &folder,
                            const std::string &host, const capability_key &caps, long long now) {
    std::string body = "#EXTM3U\n";
    size_t listed = std::min(l.size(), kMaxRows);
    if (l.size() > kMaxRows)
        body += "# " + cut_note(l.size()) + ".\n";
    for (size_t k = 0; k < listed; k++) {
        folder_row r = l.row(l.order()[k]);
        if (r.folder || !playable(r.mime))
            continue;
        add_track(&body, r, folder + std::string(r.name), host, caps, now);
    }
    return body;
}

std::string walk_playlist(const folder_listing &files, const std::vector<std::string> &paths,
                          bool cut, const std::string &host, const capability_key &caps,
                          long long now) {
    std::vector<uint32_t> by_path(paths.size());
    for (size_t i = 0; i < by_path.size(); i++)
        by_path[i] = static_cast<uint32_t>(i);
    std::sort(by_path.begin(), by_path.end(),
              [&paths](uint32_t a, uint32_t b) { return name_before(paths[a], paths[b]); });
    std::string body = "#EXTM3U\n";
    if (cut)
        body += "# only the first " + std::to_string(kMaxWalk) + " entries\n";
    for (uint32_t i : by_path)
        add_track(&body, files.row(i), paths[i], host, caps, now);
    return body;
}

} // namespace cli
