// The flat exports' JSON answers as `nimbus --json` and the gateway print
// them, while the request goes through the drive handle (so that a refresh
// token rotated on the way reaches the settings file): each entry object is
// the library's own, from nimbus_entry_json.
#ifndef NIMBUS_TOOLS_ANSWERS_H
#define NIMBUS_TOOLS_ANSWERS_H

#include <nimbus.h>

#include <string>

namespace cli {

// The library's JSON of one entry (nimbus_entry_json with folder and flags);
// throws std::bad_alloc when memory runs out, and for a locator asked of an
// entry without a download URL (callers check that first).
std::string entry_json(const nimbus_entry &e, const char *folder, int flags);

// A listing answer, {"items":[...]}, one entry at a time. folder is the
// folder argument as the library was given it ("" for the configured root).
// media: the settings ask for metadata ("Metadata": true), so the entries
// carry the media members, as nimbus_list then answers.
class listing_json {
  public:
    explicit listing_json(std::string folder, bool media = false)
        : folder_(std::move(folder)), flags_(media ? NIMBUS_ENTRY_MEDIA : 0) {}
    // Throws std::bad_alloc when memory runs out.
    void add(const nimbus_entry &entry);
    // The whole answer (the closing "]}" added once).
    const std::string &finish();
    // What was written since the last take, for an answer sent as it is
    // written; finish() then gives only the rest.
    std::string take() { return std::move(text_); }

  private:
    std::string folder_;
    int flags_;
    std::string text_ = "{\"items\":[";
    bool first_ = true;
    bool finished_ = false;
};

// Whether the settings text asks for metadata in listings: its first
// "Metadata" member is true.
bool wants_metadata(const std::string &settings);

// The stream locator answer nimbus_stream_url gives, of a file with a URL.
std::string locator_json(const char *url, const char *id, const char *name, int64_t size);

} // namespace cli

#endif
