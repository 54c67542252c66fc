// Builds the demo drive from its description and answers exactly the URLs
// the library will ask for: the token endpoint, every folder's children (by
// path and by id, paged like the service does) and every item (by path and
// by id), the drive's facts, search and every folder's change feed. The
// command knows none of these URLs itself: it learns each from the library,
// through the library's fake transport or a transport of its own that notes
// what it cannot answer.
#include "demo/demo.h"

#include "demo/drive.h"

#include "json_doc.h"
#include "output.h"
#include "text.h"

#include <nimbus.h>
#include <yyjson.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace cli {
namespace {

const char kSettings[] = "{\"RuntimeType\":\"ONEDRIVE\",\"ClientId\":\"nimbus-demo\","
                         "\"ClientSecret\":\"demo-client-secret\","
                         "\"refresh_token\":\"demo-refresh-token-1\"}";

using demo::drive;
using demo::node;

std::string clean_name(const std::string &name) {
    std::string out;
    for (unsigned char c : name) {
        if (c == '/')
            out += "\xE2\x88\x95";
        else if (c < 0x20 || c == 0x7f)
            out += '_';
        else
            out += static_cast<char>(c);
    }
    return out;
}

bool parse_items(yyjson_val *arr, node *parent, std::string *error);

// The media facets of an entry, copied as written: the description holds
// them as Graph sends them.
bool read_facets(yyjson_val *obj, node *out, std::string *error) {
    for (const char *facet : {"audio", "video", "photo", "image"}) {
        yyjson_val *v = yyjson_obj_get(obj, facet);
        if (!v)
            continue;
        char *text = yyjson_is_obj(v) ? yyjson_val_write(v, 0, nullptr) : nullptr;
        if (!text) {
            *error = "\"" + std::string(facet) + "\" of \"" + out->name + "\" must be an object";
            return false;
        }
        out->facets += ",\"" + std::string(facet) + "\":" + text;
        std::free(text);
    }
    return true;
}

bool parse_item(yyjson_val *obj, node *out, std::string *error) {
    out->name = str_member(obj, "name");
    if (out->name.empty() || out->name == "." || out->name == ".." || out->name.size() > 1024) {
        *error = "an entry has no usable \"name\"";
        return false;
    }
    out->clean = clean_name(out->name);
    out->modified = str_member(obj, "modified", "2024-01-01T00:00:00Z");
    yyjson_val *children = yyjson_obj_get(obj, "children");
    if (children) {
        out->folder = true;
        return parse_items(children, out, error);
    }
    out->size = int_member(obj, "size", 0);
    out->mime = str_member(obj, "mime", "application/octet-stream");
    out->download = !yyjson_is_false(yyjson_obj_get(obj, "download"));
    return read_facets(obj, out, error);
}

// The audio facet of a generated file: the template's members after its
// own title, number and, from the bitrate (kbit/s), duration (ms).
std::string generated_audio(yyjson_val *audio, const std::string &title, long long number,
                            long long size) {
    std::string facet =
        ",\"audio\":{\"title\":" + json_string(title) + ",\"track\":" + std::to_string(number);
    long long kbps = int_member(audio, "bitrate", 0);
    if (kbps > 0 && size >= 0 && size <= LLONG_MAX / 8)
        facet += ",\"duration\":" + std::to_string(size * 8 / kbps);
    char *rest = yyjson_val_write(audio, 0, nullptr);
    if (!rest)
        return std::string();
    facet += std::strcmp(rest, "{}") == 0 ? "}" : std::string(",") + (rest + 1);
    std::free(rest);
    return facet;
}

// {"generate":{"count":N,"prefix":..,"digits":D,"suffix":..,...}} stands for N files.
bool generate(yyjson_val *g, node *parent, std::string *error) {
    long long count = int_member(g, "count", -1);
    long long digits = int_member(g, "digits", 1);
    if (count < 0 || count > 100000 || digits < 1 || digits > 9) {
        *error = "a \"generate\" entry needs a count of 0 to 100000 and 1 to 9 digits";
        return false;
    }
    yyjson_val *audio = yyjson_obj_get(g, "audio");
    if (audio && !yyjson_is_obj(audio)) {
        *error = "the \"audio\" of a \"generate\" entry must be an object";
        return false;
    }
    std::string prefix = str_member(g, "prefix"), suffix = str_member(g, "suffix");
    long long start = int_member(g, "start", 1), size = int_member(g, "size", 0),
              step = int_member(g, "size_step", 0);
    for (long long i = 0; i < count; i++) {
        char num[32];
        std::snprintf(num, sizeof num, "%0*lld", static_cast<int>(digits), start + i);
        node n;
        n.name = prefix + num + suffix;
        n.clean = clean_name(n.name);
        n.size = size + i * step;
        n.mime = str_member(g, "mime", "application/octet-stream");
        n.modified = str_member(g, "modified", "2024-01-01T00:00:00Z");
        if (audio)
            n.facets = generated_audio(audio, prefix + num, start + i, n.size);
        parent->children.push_back(std::move(n));
    }
    return true;
}

bool parse_items(yyjson_val *arr, node *parent, std::string *error) {
    if (!yyjson_is_arr(arr)) {
        *error = "\"children\" must be an array";
        return false;
    }
    size_t idx, max;
    yyjson_val *it;
    yyjson_arr_foreach(arr, idx, max, it) {
        if (!yyjson_is_obj(it)) {
            *error = "every entry must be an object";
            return false;
        }
        yyjson_val *g = yyjson_obj_get(it, "generate");
        if (g) {
            if (!generate(g, parent, error))
                return false;
            continue;
        }
        node n;
        if (!parse_item(it, &n, error))
            return false;
        parent->children.push_back(std::move(n));
    }
    std::set<std::string> seen;
    for (const node &c : parent->children)
        if (!seen.insert(c.clean).second) {
            *error = "the name \"" + c.name + "\" occurs twice in one folder";
            return false;
        }
    return true;
}

// Ids in depth-first order (as the service's personal ids: the drive's id,
// "!", a number), paths from the cleaned names, folder sizes summed. The
// tree is in its final place: children keep their parent's address.
long long finish_tree(node *n, const std::string &prefix, unsigned *counter) {
    n->id = prefix + std::to_string((*counter)++);
    if (n->parent)
        n->path = n->parent->path + "/" + n->clean;
    if (!n->folder)
        return n->size;
    long long total = 0;
    for (node &c : n->children) {
        c.parent = n;
        total += finish_tree(&c, prefix, counter);
    }
    n->size = total;
    return total;
}

// The demo's transport: exact method and URL to the answer, then the
// answers built per request, and the service's 404 for the rest. Filled
// once by demo_start, read-only while requests run.
struct transport {
    std::map<std::pair<std::string, std::string>, std::string> routes;
    std::unique_ptr<drive> d;
    demo::queries q;
};

transport &demo_transport() {
    static transport t;
    return t;
}

std::map<std::pair<std::string, std::string>, std::string> &routes() {
    return demo_transport().routes;
}

bool route(const char *method, const std::string &url, const std::string &body,
           std::string * /*error*/) {
    routes()[{method, url}] = body;
    return true;
}

// The URL as the service reads it: without the bearer token (or anything
// else after a '#', which HTTP never sends) and without $select: the drive
// answers whole items, as the service does without $select, and the
// members asked for are among them.
std::string target_of(const char *url) {
    std::string target = url ? url : "";
    size_t hash = target.find('#');
    if (hash != std::string::npos)
        target.erase(hash);
    size_t select = target.find("$select=");
    if (select != std::string::npos && select > 0) {
        size_t end = target.find('&', select);
        if (target[select - 1] == '&') // "&$select=..." goes, up to the next "&"
            target.erase(select - 1, end == std::string::npos ? end : end - (select - 1));
        else if (target[select - 1] == '?') // so does "$select=...&", or "?$select=..."
            target.erase(end == std::string::npos ? select - 1 : select,
                         end == std::string::npos ? end : end + 1 - select);
    }
    return target;
}

int answer(const char *method, const char *url, char **body, int32_t *status, char **error) {
    *error = nullptr;
    const transport &t = demo_transport();
    const std::string target = target_of(url);
    auto it = t.routes.find({method, target});
    int code = 200;
    std::string built;
    const std::string *text = it == t.routes.end() ? &built : &it->second;
    if (it == t.routes.end() && !(std::strcmp(method, "GET") == 0 && t.d &&
                                  demo::query_answer(*t.d, t.q, target, &code, &built))) {
        code = 404;
        built = demo::error_body("itemNotFound", "The resource could not be found.");
    }
    *status = code;
    *body = strdup(text->c_str());
    return *body ? 0 : -1;
}

int demo_get(void *, const char *url, char **body, int32_t *status, char **error) {
    return answer("GET", url, body, status, error);
}

int demo_post(void *, const char *url, const char *, const char *, char **body, int32_t *status,
              char **error) {
    return answer("POST", url, body, status, error);
}

const nimbus_io kDemoIo = {nullptr, demo_get, demo_post, nullptr};

// The URL the library asks for in one request, learned by letting it make
// the request through its fake transport, where nothing but the token is
// scripted: the request is answered 404, and its URL is the fake's last.
// "" when the call made no request (an argument the library refuses).
template <typename Call> std::string learn(Call call) {
    int before = nimbus_fake_calls(nullptr, nullptr);
    call();
    return nimbus_fake_calls(nullptr, nullptr) == before ? std::string()
                                                         : std::string(nimbus_fake_last_url());
}

std::string children_url(const std::string &settings, const std::string &folder) {
    return learn([&] { nimbus_list(settings.c_str(), folder.c_str(), nullptr, 0); });
}

std::string item_url(const std::string &settings, const std::string &entry) {
    return learn(
        [&] { nimbus_stream_url(settings.c_str(), json_string(entry).c_str(), nullptr, 0); });
}

// A route for each of the URLs (the same answer by path and by id).
bool route_all(const char *method, const std::vector<std::string> &urls, const std::string &body,
               std::string *error) {
    for (const std::string &url : urls)
        if (!url.empty() && !route(method, url, body, error))
            return false;
    return true;
}

// Scripts the item n (by path and by id) and, for a folder, its children in
// pages of d.page_size, the first page by path and by id as the library
// asks for it. A file's children are an empty page, as the service answers.
bool script(const drive &d, const std::string &settings, const node &n, std::string *error) {
    const std::string path = n.path.empty() ? "/" : n.path;
    if (!route_all("GET", {item_url(settings, path), item_url(settings, n.id)},
                   demo::item_json(d, n, demo::form::listing), error))
        return false;
    const std::string first_by_id = children_url(settings, n.id);
    const std::vector<std::string> first = {children_url(settings, n.path), first_by_id};
    if (!n.folder)
        return route_all("GET", first, "{\"value\":[]}", error);

    // The service's next links are opaque: these extend the first page's
    // URL with the offset, as the service's $skiptoken does, so they stay
    // on the origin the library accepts.
    const char *join = first_by_id.find('?') == std::string::npos ? "?" : "&";
    auto link = [&](size_t k) {
        return first_by_id + join + "$skiptoken=" + std::to_string(k * d.page_size);
    };
    size_t pages = n.children.empty() ? 1 : (n.children.size() + d.page_size - 1) / d.page_size;
    for (size_t p = 0; p < pages; p++) {
        std::string page = "{\"value\":[";
        for (size_t i = p * d.page_size; i < n.children.size() && i < (p + 1) * d.page_size; i++) {
            if (i != p * d.page_size)
                page += ',';
            page += demo::item_json(d, n.children[i], demo::form::listing);
        }
        page += ']';
        if (p + 1 < pages)
            page += ",\"@odata.nextLink\":" + json_string(link(p + 1));
        page += '}';
        if (!(p == 0 ? route_all("GET", first, page, error) : route("GET", link(p), page, error)))
            return false;
    }
    for (const node &c : n.children)
        if (!script(d, settings, c, error))
            return false;
    return true;
}

// What the learning transport last could not answer: the URL of the one
// request of a handle call that no route holds yet.
std::string &unanswered() {
    static std::string url;
    return url;
}

int learn_get(void *, const char *url, char **body, int32_t *status, char **error) {
    int rc = answer("GET", url, body, status, error);
    if (rc == 0 && *status == 404)
        unanswered() = target_of(url);
    return rc;
}

const nimbus_io kLearnIo = {nullptr, learn_get, demo_post, nullptr};

// The URL of the request a handle call makes that the routes do not answer
// yet (they answer the token and every lookup, so a call gets that far);
// "" when it made none.
template <typename Call> std::string learn_by(Call call) {
    unanswered().clear();
    call();
    return unanswered();
}

int no_entry(void *, const nimbus_entry *) {
    return 0;
}

int no_about(void *, const nimbus_about *) {
    return 0;
}

// Each item as a handle looks it up where that differs from the flat
// requests' URLs (the root), and every folder's change feed, by path and by
// id, as the library asks for them; a feed without its query (where cursors
// and pages go).
void learn_node(const drive &d, nimbus_drive *h, const node &n, demo::queries *q) {
    for (const std::string &item : {n.path.empty() ? std::string("/") : n.path, n.id}) {
        std::string url = learn_by([&] { nimbus_drive_item(h, item.c_str(), no_entry, nullptr); });
        if (!url.empty())
            routes()[{"GET", url}] = demo::item_json(d, n, demo::form::listing);
        if (!n.folder)
            continue;
        char *next = nullptr;
        url = learn_by(
            [&] { nimbus_drive_changes(h, item.c_str(), nullptr, no_entry, nullptr, &next); });
        std::free(next);
        if (!url.empty())
            q->feeds[url.substr(0, url.find('?'))] = &n;
    }
    for (const node &c : n.children)
        learn_node(d, h, c, q);
}

// Learns through a drive handle what only its calls ask for: the drive's
// facts (answered by a route), search (its URL around a probe text) and the
// change feeds.
bool learn_queries(transport *t, const std::string &settings, std::string *error) {
    nimbus_drive *h = nullptr;
    if (nimbus_drive_open(settings.c_str(), &kLearnIo, &h) != NIMBUS_OK) {
        *error = std::string("the library refused the demo settings: ") + nimbus_last_error();
        return false;
    }
    std::unique_ptr<nimbus_drive, decltype(&nimbus_drive_close)> hold(h, nimbus_drive_close);
    std::string about = learn_by([&] { nimbus_drive_about(h, no_about, nullptr); });
    static const char kProbe[] = "nimbusdemoprobe";
    std::string search = learn_by([&] { nimbus_drive_search(h, kProbe, no_entry, nullptr); });
    size_t at = search.find(kProbe), end = at + sizeof kProbe - 1;
    if (about.empty() || at == std::string::npos) {
        *error = "the library asked for no drive facts or search";
        return false;
    }
    route("GET", about, t->d->about, error);
    t->q.search_head = search.substr(0, at);
    t->q.search_tail = search.substr(end, search.find('?', end) - end);
    learn_node(*t->d, h, t->d->root, &t->q);
    return true;
}

// What /me/drive answers: the drive's id, type, owner and quota, its use
// being the files' sizes and the recycle bin's.
std::string about_json(yyjson_val *facts, const std::string &id, long long files) {
    long long total = int_member(facts, "total", 5368709120LL);
    long long deleted = int_member(facts, "deleted", 0);
    long long used = files + deleted, remaining = total > used ? total - used : 0;
    const char *state = used >= total              ? "exceeded"
                        : used >= total / 100 * 99 ? "critical"
                        : used >= total / 10 * 9   ? "nearing"
                                                   : "normal";
    return "{\"id\":" + json_string(id) + ",\"driveType\":\"personal\",\"owner\":{\"user\":{" +
           "\"displayName\":" + json_string(str_member(facts, "owner", "Demo User")) +
           ",\"id\":" + json_string(id) + "}},\"quota\":{\"deleted\":" + std::to_string(deleted) +
           ",\"remaining\":" + std::to_string(remaining) + ",\"state\":" + json_string(state) +
           ",\"total\":" + std::to_string(total) + ",\"used\":" + std::to_string(used) + "}}";
}

std::string exe_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return std::string();
    std::string p(buf, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

bool read_file(const std::string &path, std::string *text) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char chunk[65536];
    size_t n;
    text->clear();
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        text->append(chunk, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool load(drive *d, std::string *error) {
    std::vector<std::string> places;
    if (const char *env = std::getenv("NIMBUS_DEMO_DRIVE"))
        places.push_back(env);
    std::string dir = exe_dir();
    if (!dir.empty()) {
        places.push_back(dir + "/demo-drive.json");
        places.push_back(dir + "/../share/nimbus/demo-drive.json");
    }
    places.push_back(NIMBUS_DEMO_DRIVE_INSTALLED);
    places.push_back(NIMBUS_DEMO_DRIVE_SOURCE);

    std::string text, from;
    for (const std::string &p : places)
        if (read_file(p, &text)) {
            from = p;
            break;
        }
    if (from.empty()) {
        *error = "the demo drive description demo-drive.json was not found";
        return false;
    }
    doc_ptr doc = read_json(text);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) {
        *error = from + " is not a JSON object";
        return false;
    }
    yyjson_val *token = yyjson_obj_get(root, "token");
    char *tok = yyjson_is_obj(token) ? yyjson_val_write(token, 0, nullptr) : nullptr;
    if (!tok) {
        *error = from + ": \"token\" must be an object (the token endpoint's answer)";
        return false;
    }
    d->token_answer = tok;
    std::free(tok);
    d->download_base = str_member(root, "download_base", "https://demo.invalid/download/");
    long long page = int_member(root, "page_size", 200);
    if (page < 1 || page > 1000) {
        *error = from + ": \"page_size\" must be 1 to 1000";
        return false;
    }
    d->page_size = static_cast<size_t>(page);
    yyjson_val *facts = yyjson_obj_get(root, "drive");
    d->id = str_member(facts, "id", "de70");
    if (d->id.empty() || d->id.size() > 64 ||
        d->id.find_first_not_of("0123456789abcdef") != std::string::npos) {
        *error = from + ": the drive's \"id\" must be 1 to 64 lower-case hexadecimal digits";
        return false;
    }
    d->root.folder = true;
    if (!parse_items(yyjson_obj_get(root, "root"), &d->root, error)) {
        *error = from + ": " + *error;
        return false;
    }
    std::string prefix;
    for (char c : d->id)
        prefix += static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
    unsigned counter = 0;
    d->about = about_json(facts, d->id, finish_tree(&d->root, prefix + "!", &counter));
    return true;
}

} // namespace

const char *demo_settings() {
    return kSettings;
}

const nimbus_io *demo_io() {
    return &kDemoIo;
}

bool demo_start(const std::string &settings, int page_size, std::string *error) {
    transport &t = demo_transport();
    t.d.reset(new drive);
    t.routes.clear();
    t.q.search_head.clear();
    t.q.feeds.clear();
    drive &d = *t.d;
    if (!load(&d, error))
        return false;
    // The service answers no more than asked for, nor more than it will.
    if (page_size > 0 && static_cast<size_t>(page_size) < d.page_size)
        d.page_size = static_cast<size_t>(page_size);

    // Every URL is learned from the library: first the token endpoint (its
    // first request), then each item and children page, then what the
    // handle's calls ask for.
    nimbus_fake_reset();
    nimbus_use_fake();
    std::string token_url = children_url(settings, "");
    bool ok =
        !token_url.empty() &&
        nimbus_fake_set("POST", token_url.c_str(), 200, d.token_answer.c_str()) == NIMBUS_OK &&
        route("POST", token_url, d.token_answer, error) && script(d, settings, d.root, error);
    // The learning leaves nothing behind: no fake routes, no cached token.
    nimbus_set_io(nullptr);
    nimbus_fake_reset();
    nimbus_forget_tokens();
    if (!ok && error->empty())
        *error = std::string("the library asked for no token: ") + nimbus_last_error();
    ok = ok && learn_queries(&t, settings, error);
    nimbus_forget_tokens();
    return ok;
}

} // namespace cli
