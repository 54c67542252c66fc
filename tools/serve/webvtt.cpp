// SubRip and WebVTT subtitles as WebVTT (see webvtt.h).
#include "serve/webvtt.h"

#include "text.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace cli {

namespace {

const char kReplacement[] = "\xef\xbf\xbd"; // U+FFFD
const std::string_view kBom = "\xef\xbb\xbf";

// The text with NUL and every byte outside a well-formed sequence as U+FFFD.
std::string repaired(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        size_t n = utf8_length(in, i);
        if (n == 0 || in[i] == '\0') {
            out += kReplacement;
            i++;
        } else {
            out.append(in, i, n);
            i += n;
        }
    }
    return out;
}

bool digits(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

int64_t number(std::string_view s) {
    int64_t n = 0;
    for (char c : s)
        n = n * 10 + (c - '0');
    return n;
}

// "H:MM:SS,mmm" or "MM:SS.mmm" (hours of 1 to 9 digits, "," or "." before
// the milliseconds) in milliseconds; -1 when it is not one.
int64_t timestamp(std::string_view s) {
    if (s.size() < 9)
        return -1;
    std::string_view frac = s.substr(s.size() - 4);
    if ((frac[0] != ',' && frac[0] != '.') || !digits(frac.substr(1)))
        return -1;
    s.remove_suffix(4);
    int64_t hours = 0;
    size_t colon = s.find(':');
    if (s.size() > 5) {
        if (colon == 0 || colon > 9 || !digits(s.substr(0, colon)))
            return -1;
        hours = number(s.substr(0, colon));
        s.remove_prefix(colon + 1);
    }
    if (s.size() != 5 || s[2] != ':' || !digits(s.substr(0, 2)) || !digits(s.substr(3)))
        return -1;
    int64_t minutes = number(s.substr(0, 2)), seconds = number(s.substr(3));
    if (minutes > 59 || seconds > 59)
        return -1;
    return ((hours * 60 + minutes) * 60 + seconds) * 1000 + number(frac.substr(1));
}

std::string vtt_time(int64_t ms) {
    char text[40];
    std::snprintf(text, sizeof text, "%02" PRId64 ":%02d:%02d.%03d", ms / 3600000,
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                  static_cast<int>(ms % 1000));
    return text;
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

// A timing line, "START --> END" and whatever follows END (SubRip's
// coordinates: dropped), as WebVTT's; false when it is not one or the cue
// would end before it starts.
bool timing(std::string_view line, std::string *out) {
    size_t arrow = line.find("-->");
    if (arrow == std::string_view::npos)
        return false;
    std::string_view start = line.substr(0, arrow), rest = line.substr(arrow + 3);
    while (!start.empty() && blank(start.front()))
        start.remove_prefix(1);
    while (!start.empty() && blank(start.back()))
        start.remove_suffix(1);
    while (!rest.empty() && blank(rest.front()))
        rest.remove_prefix(1);
    size_t end = 0;
    while (end < rest.size() && !blank(rest[end]))
        end++;
    int64_t from = timestamp(start), to = timestamp(rest.substr(0, end));
    if (from < 0 || to <= from)
        return false;
    *out = vtt_time(from) + " --> " + vtt_time(to);
    return true;
}

// A cue's line of text: "-->" may not appear in one.
std::string cue_text(std::string_view line) {
    std::string out;
    for (size_t at; (at = line.find("-->")) != std::string_view::npos;) {
        out.append(line.substr(0, at)).append("--&gt;");
        line.remove_prefix(at + 3);
    }
    return out.append(line);
}

// SubRip, already well-formed UTF-8 without a byte order mark, as WebVTT.
// A cue is an optional number, a timing line, and its text up to a blank
// line; a timing line in a cue's text (the blank line between two cues
// missing) starts the next cue, taking the number before it along.
bool from_subrip(std::string_view in, std::string *out) {
    *out = "WEBVTT\n\n";
    std::string id, times;
    std::vector<std::string_view> text;
    bool in_cue = false;
    auto emit = [&]() {
        if (in_cue) {
            if (!id.empty())
                *out += id + "\n";
            *out += times + "\n";
            for (std::string_view line : text)
                *out += cue_text(line) + "\n";
            *out += "\n";
        }
        in_cue = false;
        id.clear();
        text.clear();
        return out->size() <= kMaxSubtitleBytes;
    };
    while (!in.empty()) {
        size_t end = in.find_first_of("\r\n");
        std::string_view line = in.substr(0, end);
        if (end == std::string_view::npos)
            in = {};
        else
            in.remove_prefix(end + (in.compare(end, 2, "\r\n") == 0 ? 2 : 1));
        std::string next;
        if (line.find_first_not_of(" \t") == std::string_view::npos) {
            if (!emit())
                return false;
        } else if (timing(line, &next)) {
            std::string number;
            if (in_cue && !text.empty() && digits(text.back()) && text.back().size() <= 20) {
                number = std::string(text.back());
                text.pop_back();
            } else if (!in_cue) {
                number = id;
            }
            if (!emit())
                return false;
            id = number;
            times = next;
            in_cue = true;
        } else if (in_cue) {
            text.push_back(line);
        } else {
            id = digits(line) && line.size() <= 20 ? std::string(line) : std::string();
        }
    }
    return emit();
}

// Whether a WebVTT file starts as one: "WEBVTT", then a space, a tab, a
// line end, or nothing.
bool signed_webvtt(std::string_view s) {
    if (s.compare(0, 6, "WEBVTT") != 0)
        return false;
    return s.size() == 6 || s[6] == ' ' || s[6] == '\t' || s[6] == '\n' || s[6] == '\r';
}

} // namespace

vtt_fault webvtt_of(std::string_view in, bool vtt, std::string *out) {
    out->clear();
    if (in.size() > kMaxSubtitleBytes)
        return vtt_fault::too_large;
    if (in.compare(0, 2, "\xff\xfe") == 0 || in.compare(0, 2, "\xfe\xff") == 0 ||
        in.compare(0, 4, std::string_view("\0\0\xfe\xff", 4)) == 0)
        return vtt_fault::not_utf8;
    bool bom = in.compare(0, kBom.size(), kBom) == 0;
    if (vtt) {
        if (!signed_webvtt(in.substr(bom ? kBom.size() : 0)))
            return vtt_fault::not_webvtt;
        *out = repaired(in);
    } else {
        if (bom)
            in.remove_prefix(kBom.size());
        if (!from_subrip(repaired(in), out)) {
            out->clear();
            return vtt_fault::too_large;
        }
    }
    if (out->size() > kMaxSubtitleBytes) {
        out->clear();
        return vtt_fault::too_large;
    }
    return vtt_fault::none;
}

} // namespace cli
