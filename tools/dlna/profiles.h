// What a renderer is told about a file before it plays it: the DLNA media
// profile (DLNA.ORG_PN) its facts allow, the fourth field of protocolInfo
// (sent in DIDL-Lite and as the contentFeatures.dlna.org header of the
// file's own URL), its transfer mode, and whether Browse offers it at all.
// Pure functions of an item's type, name and media facts.
//
// A profile is named only where the facts prove it: a TV that is promised
// MP3 or JPEG_SM decodes it as such, and one that is promised wrongly fails
// where it would have played the same file offered without a profile. So:
//   audio/mpeg               MP3 (not a name ending ".mp2": MPEG Layer II)
//   audio/mp4, audio/x-m4a   AAC_ISO_320 when size and duration bound the
//                            average bitrate to 320 kbit/s, AAC_ISO up to
//                            576 kbit/s or when it is unknown; none above
//                            (that is no AAC the profiles admit; ALAC is)
//   audio/l16                LPCM. The service types WAV files audio/wav:
//                            a RIFF file is not the profile's raw big-endian
//                            stream, so WAV gets none
//   image/jpeg               JPEG_SM up to 640x480, JPEG_MED up to 1024x768,
//                            JPEG_LRG up to 4096x4096; none beyond or
//                            without both dimensions
// and none for anything else: FLAC, Matroska, Ogg, WebM have no profile,
// and an AVC_MP4_* profile names codecs, profile and level that a drive
// entry does not carry, so MP4 films go without one too.
#ifndef NIMBUS_TOOLS_DLNA_PROFILES_H
#define NIMBUS_TOOLS_DLNA_PROFILES_H

#include <string>

#include "dlna.h"

namespace dlna {

// The profile of a cover (upnp:albumArtURI): a JPEG thumbnail of at most
// 160x160, which the service's small thumbnail (96 pixels) is.
constexpr const char *cover_profile = "JPEG_TN";

// The DLNA.ORG_PN value for the file, or nullptr for none.
const char *media_profile(const item &it);

// "DLNA.ORG_PN=...;DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=..." for
// audio, video and images (without the PN part where there is no profile),
// "*" for anything else. OP=01: the file's URL honours byte ranges; CI=0:
// the bytes are the file's own. FLAGS: streaming (interactive for images),
// background transfer, connection stalling, DLNA 1.5.
std::string content_features(const item &it);

// "http-get:*:MIME:" followed by content_features.
std::string protocol_info(const item &it);

// The transferMode.dlna.org the file is served in: "Interactive" for
// images, "Streaming" for audio and video, nullptr for anything else.
const char *transfer_mode(const item &it);

// Whether Browse offers the entry when it shows media only: folders, audio,
// video, raster images and subtitle files (.srt, .vtt). A TV has nothing to
// do with a PDF, a text or an SVG document.
bool offered(const item &it);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_PROFILES_H
