// The flat exports' answers, from the handle's entries.
#include "answers.h"

#include "json_doc.h"
#include "output.h"

#include <new>
#include <yyjson.h>

namespace cli {

std::string entry_json(const nimbus_entry &e, const char *folder, int flags) {
    // Most entries fit here; a longer one waits in nimbus_result_json().
    char object[4096];
    int rc = nimbus_entry_json(&e, folder, flags, object, sizeof object);
    if (rc != NIMBUS_OK && rc != NIMBUS_E_BUFFER)
        throw std::bad_alloc(); // the one failure a complete entry can meet
    return rc == NIMBUS_OK ? object : nimbus_result_json();
}

void listing_json::add(const nimbus_entry &e) {
    std::string object = entry_json(e, folder_.c_str(), flags_);
    if (!first_)
        text_ += ',';
    first_ = false;
    text_ += object;
}

const std::string &listing_json::finish() {
    if (!finished_)
        text_ += "]}";
    finished_ = true;
    return text_;
}

bool wants_metadata(const std::string &settings) {
    doc_ptr doc = read_json(settings);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    return yyjson_is_obj(root) && yyjson_is_true(yyjson_obj_get(root, "Metadata"));
}

std::string locator_json(const char *url, const char *id, const char *name, int64_t size) {
    nimbus_entry e{};
    e.download_url = url;
    e.id = id;
    e.name = name;
    e.size = size;
    return entry_json(e, nullptr, NIMBUS_ENTRY_LOCATOR);
}

} // namespace cli
