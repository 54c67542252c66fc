#include "didl.h"
#include "profiles.h"

#include <cstdio>
#include <cstring>

namespace dlna {

namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

int hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower-case hex is not canonical
}

// Length of the valid UTF-8 sequence at s[i] (1 to 4), 0 when invalid, and
// its code point in *cp.
size_t utf8_at(const std::string &s, size_t i, uint32_t *cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    unsigned char c = b(0);
    size_t n;
    uint32_t v;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        n = 2, v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, v = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, v = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; k++) {
        if ((b(k) & 0xC0) != 0x80)
            return 0;
        v = v << 6 | (b(k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((n == 3 && v < 0x800) || (n == 4 && (v < 0x10000 || v > 0x10FFFF)) ||
        (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return n;
}

// Printable ASCII that XML text and attribute values take unescaped.
bool plain_ascii(unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
}

void attr(std::string &out, const char *name, const std::string &value) {
    out += ' ';
    out += name;
    out += "=\"";
    xml_text(out, value);
    out += '"';
}

void element(std::string &out, const char *name, const std::string &value) {
    out += '<';
    out += name;
    out += '>';
    xml_text(out, value);
    out += "</";
    out += name;
    out += '>';
}

std::string last_segment(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string object_id(const std::string &path) {
    if (path.empty() || path == "/")
        return "0";
    static const char digits[] = "0123456789ABCDEF";
    std::string id = "0";
    for (unsigned char c : path) {
        if (unreserved(c)) {
            id += static_cast<char>(c);
        } else {
            id += '%';
            id += digits[c >> 4];
            id += digits[c & 15];
        }
    }
    return id;
}

bool object_path(const std::string &id, std::string &path) {
    if (id == "0") {
        path = "/";
        return true;
    }
    if (id.size() < 3 || id[0] != '0' || id[1] != '/')
        return false;
    std::string out;
    out.reserve(id.size());
    for (size_t i = 1; i < id.size(); i++) {
        unsigned char c = static_cast<unsigned char>(id[i]);
        if (c == '%') {
            int hi = i + 2 < id.size() ? hex(id[i + 1]) : -1;
            int lo = hi >= 0 ? hex(id[i + 2]) : -1;
            if (lo < 0)
                return false;
            unsigned char v = static_cast<unsigned char>(hi << 4 | lo);
            if (v == 0 || unreserved(v)) // NUL, or a byte that is never encoded
                return false;
            out += static_cast<char>(v);
            i += 2;
        } else if (unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            return false;
        }
    }
    path.swap(out);
    return true;
}

std::string parent_path(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}

void xml_text(std::string &out, const std::string &text) {
    static const char replacement[] = "\xEF\xBF\xBD";
    for (size_t i = 0; i < text.size();) {
        // Names and URLs are mostly printable ASCII that stands as it is:
        // such a run is copied at once, not a character at a time.
        size_t plain = i;
        while (plain < text.size() && plain_ascii(static_cast<unsigned char>(text[plain])))
            plain++;
        if (plain > i) {
            out.append(text, i, plain - i);
            i = plain;
            continue;
        }
        uint32_t cp = 0;
        size_t n = utf8_at(text, i, &cp);
        if (n == 0) {
            out += replacement;
            i++;
            continue;
        }
        if ((cp < 0x20) || (cp >= 0x7F && cp <= 0x9F) || cp == 0xFFFE || cp == 0xFFFF) {
            out += replacement;
        } else if (cp == '&') {
            out += "&amp;";
        } else if (cp == '<') {
            out += "&lt;";
        } else if (cp == '>') {
            out += "&gt;";
        } else if (cp == '"') {
            out += "&quot;";
        } else if (cp == '\'') {
            out += "&apos;";
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
}

std::string duration_text(int64_t ms) {
    if (ms < 0)
        ms = 0;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld:%02d:%02d.%03d", static_cast<long long>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                  static_cast<int>(ms % 1000));
    return buf;
}

std::string clean_mime(const std::string &mime) {
    // RFC 2045 token characters, one "/" with a token on each side; no
    // parameters (a ";" or ":" would break protocolInfo's fields).
    std::string out;
    size_t slash = std::string::npos;
    for (size_t i = 0; i < mime.size() && i < 127; i++) {
        char c = mime[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        bool token = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' || c == '#' ||
                     c == '$' || c == '&' || c == '^' || c == '_' || c == '.' || c == '+' ||
                     c == '-';
        if (c == '/' && slash == std::string::npos && i > 0)
            slash = i;
        else if (!token)
            return "application/octet-stream";
        out += c;
    }
    if (out.size() != mime.size() || slash == std::string::npos || slash + 1 == out.size())
        return "application/octet-stream";
    return out;
}

const char *upnp_class(const item &it) {
    if (it.folder)
        return "object.container.storageFolder";
    std::string m = clean_mime(it.mime);
    if (m.compare(0, 6, "audio/") == 0)
        return "object.item.audioItem.musicTrack";
    if (m.compare(0, 6, "video/") == 0)
        return "object.item.videoItem";
    if (m.compare(0, 6, "image/") == 0)
        return "object.item.imageItem";
    return "object.item";
}

void didl_object(std::string &out, const item &it, const std::string &url,
                 const std::string &subtitle_url, const std::string &cover_url) {
    const char *tag = it.folder ? "container" : "item";
    out += '<';
    out += tag;
    attr(out, "id", object_id(it.path));
    attr(out, "parentID", it.path == "/" ? "-1" : object_id(parent_path(it.path)));
    out += " restricted=\"1\"";
    if (it.folder)
        out += " searchable=\"0\"";
    if (it.folder && it.child_count >= 0)
        attr(out, "childCount", std::to_string(it.child_count));
    out += '>';
    std::string title = it.title.empty() ? last_segment(it.path) : it.title;
    if (title.empty())
        title = "/";
    element(out, "dc:title", title);
    element(out, "upnp:class", upnp_class(it));
    if (!cover_url.empty()) {
        out += "<upnp:albumArtURI";
        attr(out, "dlna:profileID", cover_profile);
        out += '>';
        xml_text(out, cover_url);
        out += "</upnp:albumArtURI>";
    }
    if (!it.folder) {
        bool audio = std::strcmp(upnp_class(it), "object.item.audioItem.musicTrack") == 0;
        if (audio && !it.artist.empty()) {
            element(out, "upnp:artist", it.artist);
            element(out, "dc:creator", it.artist);
        }
        if (audio && !it.album.empty())
            element(out, "upnp:album", it.album);
        if (audio && it.track > 0)
            element(out, "upnp:originalTrackNumber", std::to_string(it.track));
        if (it.year > 0 && it.year <= 9999) {
            char date[16];
            std::snprintf(date, sizeof date, "%04d-01-01", it.year);
            element(out, "dc:date", date);
        }
        out += "<res";
        attr(out, "protocolInfo", protocol_info(it));
        if (it.size >= 0)
            attr(out, "size", std::to_string(it.size));
        if (it.duration_ms >= 0)
            attr(out, "duration", duration_text(it.duration_ms));
        if (it.width > 0 && it.height > 0)
            attr(out, "resolution", std::to_string(it.width) + "x" + std::to_string(it.height));
        // UPnP counts a resource's bit rate in bytes per second.
        if (it.bitrate_kbps > 0)
            attr(out, "bitrate", std::to_string(int64_t{it.bitrate_kbps} * 125));
        if (it.audio_channels > 0)
            attr(out, "nrAudioChannels", std::to_string(it.audio_channels));
        out += '>';
        xml_text(out, url);
        out += "</res>";
        if (!subtitle_url.empty() && !it.subtitle_mime.empty()) {
            std::string mime = clean_mime(it.subtitle_mime);
            out += "<res";
            attr(out, "protocolInfo", "http-get:*:" + mime + ":*");
            out += '>';
            xml_text(out, subtitle_url);
            out += "</res><sec:CaptionInfoEx";
            attr(out, "sec:type", mime.compare(0, 5, "text/") == 0 ? mime.substr(5) : "srt");
            out += '>';
            xml_text(out, subtitle_url);
            out += "</sec:CaptionInfoEx>";
        }
    }
    out += "</";
    out += tag;
    out += '>';
}

std::string didl_document(const std::string &body) {
    return "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
           "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\" "
           "xmlns:sec=\"http://www.sec.co.kr/\">" +
           body + "</DIDL-Lite>";
}

void soap_text(std::string &out, const std::string &markup) {
    out.reserve(out.size() + markup.size() + markup.size() / 4);
    const char *p = markup.data(), *end = p + markup.size();
    while (p < end) {
        const char *run = p;
        while (run < end && *run != '&' && *run != '<' && *run != '>' && *run != '"')
            run++;
        out.append(p, static_cast<size_t>(run - p));
        if (run == end)
            break;
        out += *run == '&' ? "&amp;" : *run == '<' ? "&lt;" : *run == '>' ? "&gt;" : "&quot;";
        p = run + 1;
    }
}

std::string browse_answer(const std::string &didl, uint32_t returned, uint32_t total,
                          uint32_t update_id) {
    std::string out = "<?xml version=\"1.0\"?><s:Envelope "
                      "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
                      "<u:BrowseResponse "
                      "xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><Result>";
    soap_text(out, didl);
    out += "</Result><NumberReturned>" + std::to_string(returned) +
           "</NumberReturned><TotalMatches>" + std::to_string(total) + "</TotalMatches><UpdateID>" +
           std::to_string(update_id) + "</UpdateID></u:BrowseResponse></s:Body></s:Envelope>";
    return out;
}

} // namespace dlna
