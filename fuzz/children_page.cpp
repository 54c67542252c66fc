// Children pages: nimbus_parse_children_page on any bytes into a fresh list,
// checked against a direct reading of the page, then written as entry JSON
// and read back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

#include "fuzz_check.h"
#include "graph/graph.h"

namespace {

const char *const prefixes[] = {nullptr, "", "/Music", "/a/", "01BYE5RZ6QN3ZWBTUFOFD3GSPGOHDJD36K"};

// Unique ids, the limit, and an index at most half full holding every
// position exactly once.
void check_list(const nimbus_items &l) {
    CHECK(l.count <= NIMBUS_MAX_ENTRIES && l.count <= l.cap);
    if (l.count == 0)
        return;
    CHECK(l.index_cap >= 128 && (l.index_cap & (l.index_cap - 1)) == 0);
    CHECK(l.index_cap >= 2 * l.count);
    std::vector<char> seen(l.count + 1, 0);
    size_t used = 0;
    for (size_t i = 0; i < l.index_cap; i++) {
        if (l.index[i] == 0)
            continue;
        CHECK(l.index[i] <= l.count && !seen[l.index[i]]);
        seen[l.index[i]] = 1;
        used++;
    }
    CHECK(used == l.count);
    std::set<std::string> ids;
    for (size_t i = 0; i < l.count; i++)
        CHECK(ids.insert(l.items[i].id).second);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *body = reinterpret_cast<const char *>(data);
    const char *prefix = prefixes[size > 0 ? data[0] % 5 : 0];
    nimbus_items list{};
    char msg[NIMBUS_MSG_SIZE] = "";
    char *next = reinterpret_cast<char *>(&list); // anything but null
    int rc = nimbus_parse_children_page(body, size, prefix, &list, &next, msg, sizeof msg);
    check_list(list);
    CHECK(rc == NIMBUS_OK || rc == NIMBUS_E_FAILED);
    if (rc != NIMBUS_OK) {
        CHECK(next == nullptr && msg[0] != '\0');
        CHECK(list.count == 0); // inputs this small never reach the limit
    }

    // The entries are the distinct usable ids of the page, in order.
    // Read as the library reads every answer of the service: a text that
    // is not well-formed UTF-8 is repaired, or null when it addresses something.
    nimbus_doc_guard guard{nullptr};
    yyjson_read_err err{};
    yyjson_doc *doc =
        nimbus_graph_read(&guard, const_cast<char *>(body), size, false, nullptr, &err);
    yyjson_val *value = yyjson_obj_get(yyjson_doc_get_root(doc), "value");
    CHECK((rc == NIMBUS_OK) == yyjson_is_arr(value));
    if (rc == NIMBUS_OK) {
        yyjson_val *link = yyjson_obj_get(yyjson_doc_get_root(doc), "@odata.nextLink");
        if (yyjson_is_str(link) && yyjson_get_len(link) > 0)
            CHECK(next && std::memcmp(next, yyjson_get_str(link), yyjson_get_len(link)) == 0);
        else
            CHECK(next == nullptr);
        std::set<std::string> ids;
        size_t k = 0, idx, max;
        yyjson_val *obj;
        yyjson_arr_foreach(value, idx, max, obj) {
            yyjson_val *id = yyjson_obj_get(obj, "id");
            if (!yyjson_is_str(id) || yyjson_get_len(id) == 0 ||
                yyjson_get_len(id) > NIMBUS_ITEM_ID_MAX ||
                std::strlen(yyjson_get_str(id)) != yyjson_get_len(id) ||
                !ids.insert(yyjson_get_str(id)).second)
                continue;
            CHECK(k < list.count && std::strcmp(list.items[k].id, yyjson_get_str(id)) == 0);
            // A shortcut to a file is listed as big as the shared file.
            yyjson_val *remote = yyjson_obj_get(obj, "remoteItem");
            if (yyjson_is_obj(remote) && !list.items[k].folder)
                CHECK(list.items[k].size == nimbus_size_of(yyjson_obj_get(remote, "size")));
            k++;
        }
        CHECK(k == list.count);
    }
    std::free(next);

    // Every entry has a name and a path made of the prefix and the name; no
    // name is "." or "..", and neither holds a control character.
    std::string head = prefix && *prefix ? std::string(prefix) + "/" : "/";
    auto clean = [](const char *s) {
        for (; *s; s++)
            if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7F)
                return false;
        return true;
    };
    for (size_t i = 0; i < list.count; i++) {
        const nimbus_item &it = list.items[i];
        CHECK(it.name && it.name[0] && std::strchr(it.name, '/') == nullptr);
        CHECK(std::strcmp(it.name, ".") != 0 && std::strcmp(it.name, "..") != 0);
        CHECK(clean(it.name) && clean(it.path));
        CHECK(nimbus_utf8_ok(it.name, std::strlen(it.name)) &&
              nimbus_utf8_ok(it.id, std::strlen(it.id)));
        CHECK(std::strlen(it.id) <= NIMBUS_ITEM_ID_MAX);
        CHECK(it.path && head + it.name == it.path);
        CHECK(it.size >= -1 && (it.folder == 0 || it.folder == 1));
    }

    // The entry JSON is valid JSON holding the entries.
    nimbus_buf b{};
    CHECK(nimbus_items_json(&b, &list, prefix) == 0);
    yyjson_doc *out = yyjson_read(b.data, b.len, 0);
    CHECK(out != nullptr);
    yyjson_val *items = yyjson_obj_get(yyjson_doc_get_root(out), "items");
    CHECK(yyjson_arr_size(items) == list.count);
    for (size_t i = 0; i < list.count; i++) {
        yyjson_val *e = yyjson_arr_get(items, i);
        CHECK(yyjson_obj_size(e) == 17);
        CHECK(std::strcmp(yyjson_get_str(yyjson_obj_get(e, "name")), list.items[i].name) == 0);
        CHECK(std::strcmp(yyjson_get_str(yyjson_obj_get(e, "path")), list.items[i].path) == 0);
        CHECK(std::strcmp(yyjson_get_str(yyjson_obj_get(e, "backend_id")), list.items[i].id) == 0);
        CHECK(yyjson_get_sint(yyjson_obj_get(e, "size")) == list.items[i].size);
    }
    yyjson_doc_free(out);
    nimbus_buf_free(&b);
    nimbus_items_free(&list);
    return 0;
}
