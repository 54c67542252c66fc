// The Content-Type the gateway sends with a drive file's bytes. The file's
// type is the library's (the service's, or its extension's where the
// service gave none); the gateway only refuses to pass on a type a browser
// would render as a document in the gateway's origin, where a file typed
// text/html or image/svg+xml could run scripts.
#ifndef NIMBUS_TOOLS_SERVE_MEDIA_TYPES_H
#define NIMBUS_TOOLS_SERVE_MEDIA_TYPES_H

#include <string>

namespace cli {

// "application/octet-stream": bytes to download, never a page to show.
extern const char *const kUnknownMediaType;

// mime as it stands when it is one a browser shows passively (audio,
// video, raster images, plain text and subtitles, with no parameters),
// else kUnknownMediaType: HTML, SVG, XML, PDF, scripts and anything
// unknown are bytes to download.
std::string served_type(const std::string &mime);

} // namespace cli

#endif
