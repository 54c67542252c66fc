// The demo drive's per-request answers, read from whatever URL a request
// names: a search or change-feed URL is answered with a JSON object (a page
// of at most the drive's page size, or the service's error), any other URL
// is left to the 404; a page's links lead back to the same answer.
#include <cstdint>
#include <string>

#include <yyjson.h>

#include "demo/drive.h"
#include "fuzz_check.h"

namespace {

using cli::demo::node;

node file(const char *name, const node *parent, const char *id) {
    node n;
    n.name = n.clean = name;
    n.id = id;
    n.parent = parent;
    n.path = parent->path + "/" + name;
    n.mime = "audio/mpeg";
    n.facets = ",\"audio\":{\"title\":\"T\",\"duration\":1000}";
    return n;
}

struct fixture {
    cli::demo::drive d;
    cli::demo::queries q;
    fixture() {
        d.id = "ab";
        d.page_size = 2;
        d.root.folder = true;
        d.root.id = "AB!0";
        d.root.children.push_back(file("a'b.mp3", &d.root, "AB!1"));
        d.root.children.push_back(file("Ärger.mp3", &d.root, "AB!2"));
        d.root.children.push_back(file("c.mp3", &d.root, "AB!3"));
        q.search_head = "https://g/v1.0/me/drive/root/search(q='";
        q.search_tail = "')";
        q.feeds["https://g/v1.0/me/drive/root/delta"] = &d.root;
    }
};

// The number of items of a page, or -1 when body is no JSON object with a
// "value" array or an "error".
long items_of(const std::string &body, std::string *link) {
    yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    long n = -1;
    yyjson_val *value = yyjson_obj_get(root, "value");
    if (yyjson_is_arr(value))
        n = static_cast<long>(yyjson_arr_size(value));
    else if (yyjson_is_obj(yyjson_obj_get(root, "error")))
        n = 0;
    yyjson_val *next = yyjson_obj_get(root, "@odata.nextLink");
    link->assign(yyjson_is_str(next) ? yyjson_get_str(next) : "");
    yyjson_doc_free(doc);
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static fixture f;
    std::string target(reinterpret_cast<const char *>(data), size);
    int status = 0;
    std::string body;
    if (!cli::demo::query_answer(f.d, f.q, target, &status, &body))
        return 0;
    CHECK(status == 200 || status == 400 || status == 410);
    std::string link;
    long items = items_of(body, &link);
    CHECK(items >= 0 && items <= static_cast<long>(f.d.page_size));
    CHECK(status == 200 || items == 0);
    // A next link is answered too, with a page of its own.
    if (!link.empty()) {
        std::string again;
        CHECK(cli::demo::query_answer(f.d, f.q, link, &status, &again) && status == 200);
        CHECK(items_of(again, &link) >= 0);
    }
    return 0;
}
