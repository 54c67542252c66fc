// The flat exports' JSON answers, from the handle's entries.
#include "entry_json.h"

namespace cli {

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

listing_json::listing_json(const std::string &folder) : folder_(folder) {
    tail_ = ",\"parent_id\":";
    add_json_string(&tail_, folder.c_str());
    tail_ += ",\"title\":null,\"year\":null,\"type\":null,\"media_type\":null,"
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
    text_ += tail_;
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
