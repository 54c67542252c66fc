// Single items: nimbus_parse_single_item and nimbus_download_url_of on any
// bytes, checked against a direct reading of the answer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <yyjson.h>

#include "fuzz_check.h"
#include "graph/graph.h"

namespace {

bool nonempty_str(yyjson_val *v) {
    return yyjson_is_str(v) && yyjson_get_len(v) > 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *body = reinterpret_cast<const char *>(data);
    const char *prefix = size > 0 && data[0] % 2 ? "/Music" : nullptr;
    nimbus_item item;
    std::memset(&item, 0x5A, sizeof item);
    char msg[NIMBUS_MSG_SIZE] = "";
    int rc = nimbus_parse_single_item(body, size, prefix, &item, msg, sizeof msg);

    // Read as the library reads every answer of the service: a text that
    // is not well-formed UTF-8 is repaired, or null when it addresses something.
    nimbus_doc_guard guard{nullptr};
    yyjson_read_err err{};
    yyjson_doc *doc =
        nimbus_graph_read(&guard, const_cast<char *>(body), size, false, nullptr, &err);
    yyjson_val *root = yyjson_doc_get_root(doc);
    bool envelope = yyjson_is_obj(yyjson_obj_get(root, "error"));
    yyjson_val *id = yyjson_obj_get(root, "id");
    if (rc == NIMBUS_OK) {
        CHECK(yyjson_is_obj(root) && !envelope && nonempty_str(id));
        CHECK(std::strlen(yyjson_get_str(id)) == yyjson_get_len(id));
        CHECK(std::strcmp(item.id, yyjson_get_str(id)) == 0 && yyjson_get_len(id) <= 2048);
        CHECK(item.name && item.name[0] && std::strchr(item.name, '/') == nullptr);
        CHECK(nimbus_utf8_ok(item.name, std::strlen(item.name)) &&
              nimbus_utf8_ok(item.id, std::strlen(item.id)));
        CHECK(std::string(prefix ? "/Music/" : "/") + item.name == item.path);
        CHECK(item.size >= -1 && (item.folder == 0 || item.folder == 1));
        // A shortcut is a folder when the shared item is one; a shortcut to a
        // file is as big as the shared file, whatever its own size says.
        yyjson_val *remote = yyjson_obj_get(root, "remoteItem");
        bool folder = yyjson_is_obj(yyjson_obj_get(root, "folder")) ||
                      (yyjson_is_obj(remote) && yyjson_is_obj(yyjson_obj_get(remote, "folder")));
        CHECK(item.folder == (folder ? 1 : 0));
        if (yyjson_is_obj(remote) && !folder)
            CHECK(item.size == nimbus_size_of(yyjson_obj_get(remote, "size")));
    } else {
        CHECK(rc == NIMBUS_E_FAILED);
        CHECK(!item.id && !item.name && !item.path && item.size == 0 && item.mtime_ms == 0 &&
              item.folder == 0);
        bool long_id = nonempty_str(id) && yyjson_get_len(id) > 2048;
        const char *want = !yyjson_is_obj(root) ? "the item answer is not a JSON object"
                           : envelope           ? "the item answer is an error envelope"
                           : long_id            ? "a driveItem id is longer than 2048 bytes"
                                                : "a driveItem carries no id";
        CHECK(std::strcmp(msg, want) == 0);
    }
    nimbus_item_free(&item);
    CHECK(!item.id && !item.name && !item.path);

    // The download URL: the first non-empty of the two members, in that order.
    char *url = nimbus_download_url_of(root);
    yyjson_val *ms = yyjson_obj_get(root, "@microsoft.graph.downloadUrl");
    yyjson_val *content = yyjson_obj_get(root, "@content.downloadUrl");
    yyjson_val *want = nonempty_str(ms) ? ms : nonempty_str(content) ? content : nullptr;
    if (want) {
        CHECK(url && std::memcmp(url, yyjson_get_str(want), yyjson_get_len(want) + 1) == 0);
    } else {
        CHECK(url == nullptr);
    }
    std::free(url);
    return 0;
}
