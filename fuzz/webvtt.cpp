// Subtitle files made WebVTT: whatever the bytes, the answer is bounded,
// well-formed UTF-8 without NUL, starts with the signature, and a converted
// SubRip file's every cue is a timing line of WebVTT's form with no "-->"
// in its text.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "serve/webvtt.h"

namespace {

bool utf8_without_nul(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80                 ? 1
                   : c >= 0xc2 && c <= 0xdf ? 2
                   : c >= 0xe0 && c <= 0xef ? 3
                   : c >= 0xf0 && c <= 0xf4 ? 4
                                            : 0;
        if (n == 0 || c == 0 || s.size() - i < n)
            return false;
        for (size_t k = 1; k < n; k++)
            if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view in(reinterpret_cast<const char *>(data), size);
    for (bool vtt : {false, true}) {
        std::string out;
        cli::vtt_fault f = cli::webvtt_of(in, vtt, &out);
        if (f != cli::vtt_fault::none) {
            CHECK(out.empty());
            continue;
        }
        CHECK(out.size() <= cli::kMaxSubtitleBytes && utf8_without_nul(out));
        if (vtt) {
            CHECK(out.compare(out.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0, 6, "WEBVTT") == 0);
            continue;
        }
        CHECK(out.compare(0, 8, "WEBVTT\n\n") == 0 && out.find('\r') == std::string::npos);
        // Cue by cue: an optional identifier, the timing line, the text.
        size_t at = 8;
        while (at < out.size()) {
            size_t end = out.find("\n\n", at);
            CHECK(end != std::string::npos);
            std::string cue = out.substr(at, end - at);
            size_t arrow = cue.find(" --> ");
            CHECK(arrow != std::string::npos && cue.find("-->", arrow + 5) == std::string::npos);
            size_t start = cue.rfind('\n', arrow);
            start = start == std::string::npos ? 0 : start + 1;
            size_t line_end = cue.find('\n', arrow);
            std::string from = cue.substr(start, arrow - start);
            std::string to =
                cue.substr(arrow + 5, line_end == std::string::npos ? std::string::npos
                                                                    : line_end - arrow - 5);
            CHECK(from.size() >= 12 && from[from.size() - 4] == '.' && to.size() >= 12 &&
                  to[to.size() - 4] == '.');
            at = end + 2;
        }
    }
    return 0;
}
