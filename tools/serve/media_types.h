// The media type of a drive file, named by the gateway from the file's
// extension: the service's own Content-Type is not passed on, since a file
// typed text/html there would render (and run) in the gateway's origin.
#ifndef NIMBUS_TOOLS_SERVE_MEDIA_TYPES_H
#define NIMBUS_TOOLS_SERVE_MEDIA_TYPES_H

#include <string>

namespace cli {

// "application/octet-stream": what any name outside the table gets.
extern const char *const kUnknownMediaType;

// The type for NAME's extension (case-insensitive): audio, video, images
// and plain-text kinds that players and browsers show passively. Nothing a
// browser renders as a document with scripts or links (HTML, SVG, XML,
// PDF) is in the table: such files are bytes to download.
const char *media_type_for(const std::string &name);

} // namespace cli

#endif
