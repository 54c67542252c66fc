// The JSON answers of the flat exports, written from the drive handle's
// entries: `nimbus --json` prints the same bytes nimbus_list and
// nimbus_stream_url answer, while the request goes through the handle (so
// a refresh token rotated on the way reaches the settings file).
#ifndef NIMBUS_TOOLS_ENTRY_JSON_H
#define NIMBUS_TOOLS_ENTRY_JSON_H

#include <nimbus.h>

#include <string>

namespace cli {

// A JSON string as the library writes one: '"', '\\', \n, \r and \t
// escaped by a backslash, other C0 controls and DEL as \u00xx (lower-case
// hex), every other byte as it is; null as null.
void add_json_string(std::string *out, const char *text);

// A listing answer, {"items":[...]}, one entry at a time. folder is the
// folder argument as the library was given it ("" for the configured root).
// media: the settings ask for metadata ("Metadata": true), so each entry
// fills title, year, media_type and container and carries the media keys
// after "available", as nimbus_list then answers.
class listing_json {
  public:
    explicit listing_json(const std::string &folder, bool media = false);
    void add(const nimbus_entry &entry);
    // The whole answer (the closing "]}" added once).
    const std::string &finish();
    // What was written since the last take, for an answer sent as it is
    // written; finish() then gives only the rest.
    std::string take() { return std::move(text_); }

  private:
    std::string folder_;
    bool media_;
    std::string parent_; // ,"parent_id":... the same for every entry
    std::string tail_;   // the parent and the fixed media keys (without media)
    std::string text_ = "{\"items\":[";
    bool first_ = true;
    bool finished_ = false;
};

// Whether the settings text asks for metadata in listings: its first
// "Metadata" member is true.
bool wants_metadata(const std::string &settings);

// What kind of media a file entry is, "audio", "video" or "image", from its
// facets' values and its MIME type; null for a folder or anything else.
const char *media_type_of(const nimbus_entry &entry);

// The file name's extension in lower case (empty when there is none, or
// when it is 32 bytes or longer).
std::string container_of(const char *name);

// The stream locator answer: {"url":...,"id":...,"name":...,"size":N,"range":true}.
std::string locator_json(const char *url, const char *id, const char *name, int64_t size);

} // namespace cli

#endif
