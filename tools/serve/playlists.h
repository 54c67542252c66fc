// The gateway's M3U playlists: a folder's media files by name, or a
// folder's and its subfolders' by path. Plain functions of the entries, so
// that each renders alone.
#ifndef NIMBUS_TOOLS_SERVE_PLAYLISTS_H
#define NIMBUS_TOOLS_SERVE_PLAYLISTS_H

#include "serve/capability.h"
#include "serve/listing.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// A playlist lists at most this many entries: enough for any album, and a
// hostile drive's 100 000-entry folder cannot make one request build an
// answer of many megabytes.
constexpr size_t kMaxRows = 5000;
// A playlist of a folder and its subfolders walks at most this many entries.
constexpr size_t kMaxWalk = 10000;

// What a playlist holds: audio and video files, by the library's type of
// them (the service's, or the extension's where it gave none).
bool playable(std::string_view mime);

// Host names the playlist may put into URLs: names, IPv4 and [IPv6], a port.
bool host_header_ok(const std::string &host);

// The media files of the folder (a path ending with "/") in display order;
// at most kMaxRows entries are looked at. host: the request's Host header,
// checked by host_header_ok; now: the capabilities' clock (seconds).
std::string folder_playlist(const folder_listing &l, const std::string &folder,
                            const std::string &host, const capability_key &caps, long long now);

// The files a walk found, paths[i] being row i's, by path; cut: the walk
// stopped at kMaxWalk entries.
std::string walk_playlist(const folder_listing &files, const std::vector<std::string> &paths,
                          bool cut, const std::string &host, const capability_key &caps,
                          long long now);

} // namespace cli

#endif
