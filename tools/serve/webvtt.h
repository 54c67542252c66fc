// Subtitles as a browser's <track> takes them: WebVTT, UTF-8. A film's
// subtitle beside it on the drive is most often SubRip (.srt), which no
// browser reads, and sometimes WebVTT already. The file is anyone's upload,
// so both are read as hostile: size bounded, the text made well-formed
// UTF-8, and one pass over it.
#ifndef NIMBUS_TOOLS_SERVE_WEBVTT_H
#define NIMBUS_TOOLS_SERVE_WEBVTT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace cli {

// The largest subtitle read, and the largest WebVTT answered: a feature
// film's subtitles are 50 to 150 KiB.
constexpr size_t kMaxSubtitleBytes = 2 * 1024 * 1024;

enum class vtt_fault {
    none,
    too_large,  // the file, or what it became, is past kMaxSubtitleBytes
    not_webvtt, // a .vtt that does not start with the WEBVTT signature
    not_utf8,   // UTF-16 or UTF-32 (by their byte order marks): not repaired
};

// The WebVTT of a subtitle file's bytes. A WebVTT file (vtt) is kept as it
// is once its signature is checked. SubRip is converted: the byte order
// mark dropped, CRLF and CR made LF, "," made "." in the timestamps, cue
// numbers kept as cue identifiers, cues without a valid timing line (or
// ending before they start) skipped. In both, bytes that are not UTF-8 and
// NUL become U+FFFD. On a fault *out is left empty.
vtt_fault webvtt_of(std::string_view in, bool vtt, std::string *out);

} // namespace cli

#endif
