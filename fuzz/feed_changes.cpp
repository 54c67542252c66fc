// A change feed read for a host's change call: any bytes, cut at 0x1F into
// the feed (pages cut at each 0x1E) and the answers of the folder look-ups
// (cut at each 0x1E, taken in turn). Every element with an id is handed
// out; a path is null or a "/" path (below the configured root when one is
// set, with no empty or dot segment, within the path bounds); each folder
// is looked up once, at most NIMBUS_FEED_LOOKUPS_MAX of them; a stop stops.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

#include "fuzz_check.h"
#include "graph/feed_tree.h"

namespace {

struct seen {
    int stop_after;
    int calls = 0;
    std::vector<std::string> answers;
    size_t next_answer = 0;
    std::set<std::string> asked;
};

void check_path(const char *path) {
    if (!path)
        return;
    std::string p = path;
    CHECK(!p.empty() && p[0] == '/');
    CHECK(nimbus_walk_path_fits(p.data(), p.size()));
    if (p == "/")
        return;
    for (size_t at = 0; at < p.size();) {
        size_t end = p.find('/', at + 1);
        std::string seg = p.substr(at + 1, (end == std::string::npos ? p.size() : end) - at - 1);
        CHECK(!seg.empty() && seg != "." && seg != "..");
        at = end == std::string::npos ? p.size() : end;
    }
}

int on_entry(void *ctx, const nimbus_entry *e) {
    auto *s = static_cast<seen *>(ctx);
    CHECK(e->id && *e->id && std::strlen(e->id) <= NIMBUS_ITEM_ID_MAX);
    CHECK(e->name && *e->name && std::strchr(e->name, '/') == nullptr);
    CHECK(e->deleted == 0 || e->deleted == 1);
    check_path(e->path);
    return ++s->calls == s->stop_after;
}

int on_locate(void *ctx, const char *id, std::string *path, bool *known, char *, size_t) {
    auto *s = static_cast<seen *>(ctx);
    CHECK(id && *id && s->asked.insert(id).second);
    *known = false;
    if (s->next_answer >= s->answers.size())
        return NIMBUS_OK;
    std::string a = s->answers[s->next_answer++];
    std::vector<char> body(a.size() + YYJSON_PADDING_SIZE, '\0');
    std::memcpy(body.data(), a.data(), a.size());
    int got = nimbus_feed_item_path(body.data(), a.size(), path);
    CHECK(got == 0 || got == 1);
    if (got == 1) {
        // The drive's root, or a path of clean segments.
        CHECK(path->empty() || (*path)[0] == '/');
        check_path(path->empty() ? nullptr : path->c_str());
    }
    *known = got == 1;
    return NIMBUS_OK;
}

std::vector<std::string> cut(const char *p, const char *end) {
    std::vector<std::string> out;
    while (p <= end && out.size() < 16) {
        const char *c = static_cast<const char *>(std::memchr(p, 0x1E, end - p));
        out.emplace_back(p, (c ? c : end) - p);
        if (!c)
            break;
        p = c + 1;
    }
    return out;
}

const char *const roots[] = {nullptr, "Music"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t knobs = size > 0 ? data[0] : 0;
    const char *p = reinterpret_cast<const char *>(data) + (size > 0 ? 1 : 0);
    const char *end = reinterpret_cast<const char *>(data) + size;
    const char *split = static_cast<const char *>(std::memchr(p, 0x1F, end - p));
    seen s{};
    s.stop_after = (knobs >> 1) % 8; // 0: never
    if (split)
        s.answers = cut(split + 1, end);
    nimbus_feed_tree t{};
    t.changes = true;
    t.root = roots[knobs % 2];
    t.fn = on_entry;
    t.ctx = &s;
    t.locate = on_locate;
    t.locate_ctx = &s;

    int rc = NIMBUS_OK;
    for (const std::string &page : cut(p, split ? split : end)) {
        std::vector<char> body(page.size() + YYJSON_PADDING_SIZE, '\0');
        std::memcpy(body.data(), page.data(), page.size());
        char *next = nullptr;
        char code[NIMBUS_CODE_SIZE];
        char msg[NIMBUS_MSG_SIZE] = "";
        rc = nimbus_feed_tree_page(&t, body.data(), page.size(), &next, code, sizeof code, msg,
                                   sizeof msg);
        CHECK(rc == NIMBUS_OK || rc == NIMBUS_E_FAILED || rc == NIMBUS_E_STOPPED);
        CHECK(rc == NIMBUS_OK || (msg[0] != '\0' || code[0] != '\0'));
        CHECK(rc != NIMBUS_E_STOPPED || s.calls == s.stop_after);
        std::free(next);
        if (rc != NIMBUS_OK)
            break;
    }
    if (rc == NIMBUS_OK) {
        char msg[NIMBUS_MSG_SIZE] = "";
        rc = nimbus_feed_tree_finish(&t, msg, sizeof msg);
        CHECK(rc == NIMBUS_OK || (rc == NIMBUS_E_STOPPED && s.calls == s.stop_after));
        CHECK(t.lookups <= NIMBUS_FEED_LOOKUPS_MAX && t.lookups == s.asked.size());
    }
    nimbus_feed_tree_free(&t);
    CHECK(t.state == nullptr && t.delta_link == nullptr);
    return 0;
}
