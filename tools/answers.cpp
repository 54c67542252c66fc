// The flat exports' answers, from the handle's entries.
#include "answers.h"

#include "json_doc.h"
#include "output.h"

#include <new>
#include <yyjson.h>

namespace cli {

void listing_json::add(const nimbus_entry &e) {
    // Most entries fit here; a longer one waits in nimbus_result_json().
    char object[4096];
    int rc = nimbus_entry_json(&e, folder_.c_str(), flags_, object, sizeof object);
    if (rc != NIMBUS_OK && rc != NIMBUS_E_BUFFER)
        throw std::bad_alloc(); // the one failure a valid entry can meet
    if (!first_)
        text_ += ',';
    first_ = false;
    text_ += rc == NIMBUS_OK ? object : nimbus_result_json();
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
    auto text = [](const char *s) { return s ? json_string(s) : std::string("null"); };
    return "{\"url\":" + text(url) + ",\"id\":" + text(id) + ",\"name\":" + text(name) +
           ",\"size\":" + std::to_string(size) + ",\"range\":true}";
}

} // namespace cli
