// The pure pieces of the MediaServer: object ids, XML text, protocolInfo and
// DIDL-Lite. No I/O, no GUPnP: small enough to test and fuzz on their own.
#ifndef NIMBUS_TOOLS_DLNA_DIDL_H
#define NIMBUS_TOOLS_DLNA_DIDL_H

#include <cstdint>
#include <string>

#include "dlna.h"

namespace dlna {

// The object id of a virtual path ("/" -> "0"), and back: false for anything
// that is not the canonical id of a path (no NUL, begins with "/").
std::string object_id(const std::string &path);
bool object_path(const std::string &id, std::string &path);
// The parent folder of a path ("/" for "/a" and for "/").
std::string parent_path(const std::string &path);

// Appends TEXT to OUT as XML character data or attribute value: invalid
// UTF-8, control characters and the non-characters U+FFFE and U+FFFF become
// U+FFFD; & < > " ' become entities.
void xml_text(std::string &out, const std::string &text);

// "H:MM:SS.mmm" for a non-negative duration in milliseconds.
std::string duration_text(int64_t ms);
// A MIME type fit to stand in protocolInfo and DIDL ("type/subtype" of token
// characters, lower-cased), else "application/octet-stream".
std::string clean_mime(const std::string &mime);
// "object.item.audioItem.musicTrack", "object.item.videoItem",
// "object.item.imageItem", "object.item", or "object.container.storageFolder".
const char *upnp_class(const item &it);

// One <container> or <item> element of a DIDL-Lite document; URL is the
// resource URL of an item (unused for folders). A film with a subtitle
// (SUBTITLE_URL not empty) gets it as a second res, which most renderers
// read, and as Samsung's sec:CaptionInfoEx, which Samsung TVs read. An
// object with a cover (COVER_URL not empty) gets it as upnp:albumArtURI of
// profile JPEG_TN.
void didl_object(std::string &out, const item &it, const std::string &url,
                 const std::string &subtitle_url = std::string(),
                 const std::string &cover_url = std::string());
// The DIDL-Lite document around the elements in BODY.
std::string didl_document(const std::string &body);

// Appends MARKUP, well-formed XML that this module wrote, to OUT as the
// character data of a SOAP argument: & < > " become entities, as GUPnP
// writes a string argument.
void soap_text(std::string &out, const std::string &markup);
// The whole SOAP body of a Browse answer, byte for byte as GUPnP writes it
// from these four arguments.
std::string browse_answer(const std::string &didl, uint32_t returned, uint32_t total,
                          uint32_t update_id);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_DIDL_H
