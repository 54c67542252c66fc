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
class listing_json {
  public:
    explicit listing_json(const std::string &folder);
    void add(const nimbus_entry &entry);
    // The whole answer (the closing "]}" added once).
    const std::string &finish();

  private:
    std::string folder_;
    std::string tail_; // the same for every entry: the parent and the media keys
    std::string text_ = "{\"items\":[";
    bool first_ = true;
    bool finished_ = false;
};

// The stream locator answer: {"url":...,"id":...,"name":...,"size":N,"range":true}.
std::string locator_json(const char *url, const char *id, const char *name, int64_t size);

} // namespace cli

#endif
