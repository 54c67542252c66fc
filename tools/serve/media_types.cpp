#include "serve/media_types.h"

#include <cstring>

namespace cli {

const char *const kUnknownMediaType = "application/octet-stream";

namespace {

bool token_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr("!#$&-^_.+", c);
}

// Text kinds a browser shows as text, never as a document.
const char *const kPassiveText[] = {"text/plain", "text/vtt", "text/x-ssa", "application/x-subrip"};

} // namespace

std::string served_type(const std::string &mime) {
    // Lower case, one "type/subtype" of token characters: a parameter or
    // anything odd is not passed on.
    std::string m;
    size_t slash = std::string::npos;
    for (size_t i = 0; i < mime.size() && i < 127; i++) {
        char c = mime[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
        if (c == '/' && slash == std::string::npos && i > 0)
            slash = i;
        else if (!token_char(c))
            return kUnknownMediaType;
        m += c;
    }
    if (m.size() != mime.size() || slash == std::string::npos || slash + 1 == m.size())
        return kUnknownMediaType;
    std::string kind = m.substr(0, slash);
    std::string sub = m.substr(slash + 1);
    // SVG is an image that is a document: scripts, links, external loads.
    if (kind == "audio" || kind == "video" || (kind == "image" && sub.find("svg") == sub.npos))
        return m;
    for (const char *t : kPassiveText)
        if (m == t)
            return m;
    return kUnknownMediaType;
}

} // namespace cli
