// The flat exports' JSON answers, from the handle's entries.
#include "entry_json.h"

#include "json_doc.h"

#include <cstring>
#include <yyjson.h>

namespace cli {
namespace {

bool starts_with(const char *text, const char *head) {
    return text && std::strncmp(text, head, std::strlen(head)) == 0;
}

// A number the facets gave, else null (0 stands for absent).
void add_number(std::string *out, const char *key, int64_t v) {
    *out += key;
    *out += v ? std::to_string(v) : "null";
}

void add_text(std::string *out, const char *key, const char *text) {
    *out += key;
    add_json_string(out, text);
}

} // namespace

void add_json_string(std::string *out, const char *text) {
    if (!text) {
        *out += "null";
        return;
    }
    static const char hex[] = "0123456789abcdef";
    *out += '"';
    for (const char *p = text; *p; p++) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\r') {
            *out += "\\r";
        } else if (c == '\t') {
            *out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            *out += "\\u00";
            *out += hex[c >> 4];
            *out += hex[c & 0x0f];
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

bool wants_metadata(const std::string &settings) {
    doc_ptr doc = read_json(settings);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    return yyjson_is_obj(root) && yyjson_is_true(yyjson_obj_get(root, "Metadata"));
}

// The entry does not say which facets the service sent, only what they
// held: values only the audio facet has make a file audio, a duration with
// a frame size (the video facet's) video, then the MIME type decides, and a
// frame size alone is an image's. A facet that held no usable value, on a
// file without a MIME type, leaves no trace: such a file has none here.
const char *media_type_of(const nimbus_entry &e) {
    if (e.folder)
        return nullptr;
    bool frame = e.width > 0 || e.height > 0;
    if (e.title || e.artist || e.album || e.track)
        return "audio";
    if (frame && e.duration_ms > 0)
        return "video";
    if (starts_with(e.mime_type, "audio/"))
        return "audio";
    if (starts_with(e.mime_type, "video/"))
        return "video";
    if (starts_with(e.mime_type, "image/") || frame)
        return "image";
    return e.duration_ms > 0 ? "audio" : nullptr;
}

std::string container_of(const char *name) {
    const char *dot = name ? std::strrchr(name, '.') : nullptr;
    if (!dot || dot == name || !dot[1] || std::strlen(dot + 1) >= 32)
        return {};
    std::string ext;
    for (const char *p = dot + 1; *p; p++)
        ext += (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
    return ext;
}

listing_json::listing_json(const std::string &folder, bool media) : folder_(folder), media_(media) {
    parent_ = ",\"parent_id\":";
    add_json_string(&parent_, folder.c_str());
    tail_ = parent_ + ",\"title\":null,\"year\":null,\"type\":null,\"media_type\":null,"
                      "\"container\":null,\"imdb\":null,\"tmdb\":null,\"available\":false}";
}

void listing_json::add(const nimbus_entry &e) {
    if (!first_)
        text_ += ',';
    first_ = false;
    text_ += "{\"name\":";
    add_json_string(&text_, e.name);
    // The flat listing's path: the folder argument as given (an item id
    // too), then "/" and the name.
    text_ += ",\"path\":";
    add_json_string(&text_, (folder_ + "/" + (e.name ? e.name : "")).c_str());
    text_ += e.folder ? ",\"folder\":true,\"kind\":\"dir\"" : ",\"folder\":false,\"kind\":\"file\"";
    text_ += ",\"size\":" + std::to_string(e.size);
    text_ += ",\"mtime_ms\":" + std::to_string(e.mtime_ms);
    text_ += ",\"id\":";
    add_json_string(&text_, e.id);
    text_ += ",\"backend_id\":";
    add_json_string(&text_, e.id);
    if (!media_) {
        text_ += tail_;
        return;
    }
    // A folder carries no media keys' values, not even its MIME type.
    static const nimbus_entry none{};
    const nimbus_entry &m = e.folder ? none : e;
    std::string ext = e.folder ? std::string() : container_of(e.name);
    text_ += parent_;
    add_text(&text_, ",\"title\":", m.title);
    add_number(&text_, ",\"year\":", m.year);
    add_text(&text_, ",\"type\":null,\"media_type\":", media_type_of(e));
    add_text(&text_, ",\"container\":", ext.empty() ? nullptr : ext.c_str());
    text_ += ",\"imdb\":null,\"tmdb\":null,\"available\":false";
    add_text(&text_, ",\"mime_type\":", m.mime_type);
    add_text(&text_, ",\"artist\":", m.artist);
    add_text(&text_, ",\"album\":", m.album);
    add_number(&text_, ",\"track\":", m.track);
    add_number(&text_, ",\"duration_ms\":", m.duration_ms);
    text_ += '}';
}

const std::string &listing_json::finish() {
    if (!finished_)
        text_ += "]}";
    finished_ = true;
    return text_;
}

std::string locator_json(const char *url, const char *id, const char *name, int64_t size) {
    std::string out = "{\"url\":";
    add_json_string(&out, url);
    out += ",\"id\":";
    add_json_string(&out, id);
    out += ",\"name\":";
    add_json_string(&out, name);
    out += ",\"size\":" + std::to_string(size) + ",\"range\":true}";
    return out;
}

} // namespace cli
