// The demo drive's answers that are built per request, the way the service
// builds them: driveItems, search pages (names matched without regard to
// case) and change-feed pages. Paging follows the service: at most $top
// items a page (and never more than the drive's own page size), an
// @odata.nextLink to the rest, and at the end of a change feed an
// @odata.deltaLink whose next answer holds whatever changed since (the demo
// drive never changes: nothing).
#include "demo/drive.h"

#include "output.h"
#include "text.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace cli {
namespace demo {
namespace {

// A request target split at its query: the URL, and each parameter as sent.
struct request {
    std::string where;
    std::map<std::string, std::string> params;
};

request split(const std::string &target) {
    request r;
    size_t q = target.find('?');
    r.where = target.substr(0, q);
    while (q != std::string::npos) {
        size_t start = q + 1;
        q = target.find('&', start);
        std::string pair = target.substr(start, q == std::string::npos ? q : q - start);
        size_t eq = pair.find('=');
        r.params[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
    }
    return r;
}

// A count of 0 to 10^9 written in decimal digits only, else -1.
long long count_of(const std::string &text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return -1;
    return std::atoll(text.c_str());
}

// The page size a request may have: its $top up to the drive's own page
// size; 0 when $top is no count the service would take.
size_t top_of(const drive &d, const request &r) {
    auto it = r.params.find("$top");
    if (it == r.params.end())
        return d.page_size;
    long long top = count_of(it->second);
    if (top < 1)
        return 0;
    return static_cast<size_t>(top) < d.page_size ? static_cast<size_t>(top) : d.page_size;
}

// The first item of the page asked for: $skiptoken, else 0; -1 when it is
// no offset of this answer (past its end, or not one we gave out).
long long offset_of(const request &r, size_t total) {
    auto it = r.params.find("$skiptoken");
    if (it == r.params.end())
        return 0;
    long long offset = count_of(it->second);
    return offset > static_cast<long long>(total) ? -1 : offset;
}

// The text of a quoted OData string as the URL carries it: percent-decoded,
// and each doubled quote one quote. False when it is malformed.
bool unquoted(const std::string &encoded, std::string *text) {
    std::string raw;
    for (size_t i = 0; i < encoded.size(); i++) {
        if (encoded[i] != '%') {
            raw += encoded[i];
            continue;
        }
        int hi = i + 2 < encoded.size() ? hex_value(encoded[i + 1]) : -1;
        int lo = hi < 0 ? -1 : hex_value(encoded[i + 2]);
        if (lo < 0)
            return false;
        raw += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    text->clear();
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '\'' && (i + 1 >= raw.size() || raw[++i] != '\''))
            return false; // a lone quote would have ended the string
        *text += raw[i];
    }
    return !text->empty();
}

// Lower case for ASCII and for the Latin-1 letters of UTF-8 (À to Þ but ×),
// enough for a search box to find "Jökulá" when "JÖKULÁ" is typed.
std::string folded(const std::string &text) {
    std::string out = text;
    for (size_t i = 0; i < out.size(); i++) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c >= 'A' && c <= 'Z') {
            out[i] = static_cast<char>(c + 32);
        } else if (c == 0xC3 && i + 1 < out.size()) {
            unsigned char next = static_cast<unsigned char>(out[++i]);
            if (next >= 0x80 && next <= 0x9E && next != 0x97)
                out[i] = static_cast<char>(next + 0x20);
        }
    }
    return out;
}

// Every item beneath n, each folder before what it holds.
void gather(const node &n, std::vector<const node *> *out) {
    for (const node &c : n.children) {
        out->push_back(&c);
        if (c.folder)
            gather(c, out);
    }
}

std::string page_of(const drive &d, const std::vector<const node *> &items, size_t offset,
                    size_t top, form f) {
    std::string body = "{\"value\":[";
    for (size_t i = offset; i < items.size() && i < offset + top; i++) {
        if (i != offset)
            body += ',';
        body += item_json(d, *items[i], f);
    }
    return body + ']';
}

std::string next_link(const request &r, size_t top, size_t offset) {
    return ",\"@odata.nextLink\":" + json_string(r.where + "?$top=" + std::to_string(top) +
                                                 "&$skiptoken=" + std::to_string(offset));
}

bool search(const drive &d, const queries &q, const request &r, int *status, std::string *body) {
    const std::string &w = r.where;
    if (q.search_head.empty() || w.size() < q.search_head.size() + q.search_tail.size() ||
        w.compare(0, q.search_head.size(), q.search_head) != 0 ||
        w.compare(w.size() - q.search_tail.size(), q.search_tail.size(), q.search_tail) != 0)
        return false;
    std::string text;
    size_t top = top_of(d, r);
    if (!unquoted(
            w.substr(q.search_head.size(), w.size() - q.search_head.size() - q.search_tail.size()),
            &text) ||
        top == 0) {
        *status = 400;
        *body = error_body("invalidRequest", "Invalid request");
        return true;
    }
    std::vector<const node *> all, found;
    gather(d.root, &all);
    const std::string want = folded(text);
    for (const node *n : all)
        if (folded(n->name).find(want) != std::string::npos)
            found.push_back(n);
    long long offset = offset_of(r, found.size());
    if (offset < 0) {
        *status = 400;
        *body = error_body("invalidRequest", "Invalid skip token");
        return true;
    }
    size_t from = static_cast<size_t>(offset);
    *body = page_of(d, found, from, top, form::listing);
    if (from + top < found.size())
        *body += next_link(r, top, from + top);
    *body += '}';
    *status = 200;
    return true;
}

// A cursor this drive gave out (or the present's): a delta link holding
// one answers what changed since, which on this drive is nothing.
bool ours(const std::string &token) {
    return token == "latest" ||
           (token.compare(0, 5, "demo-") == 0 && count_of(token.substr(5)) >= 0);
}

bool feed(const drive &d, const queries &q, const request &r, int *status, std::string *body) {
    auto it = q.feeds.find(r.where);
    if (it == q.feeds.end())
        return false;
    const node &folder = *it->second;
    auto token = r.params.find("token");
    size_t top = top_of(d, r);
    std::vector<const node *> items;
    if (token == r.params.end()) {
        items.push_back(&folder); // a folder's feed starts with the folder itself
        gather(folder, &items);
    }
    long long offset = offset_of(r, items.size());
    if ((token != r.params.end() && !ours(token->second)) || offset < 0 || top == 0) {
        *status = 410;
        *body = error_body("resyncRequired", "Resync required. Replace any local items with "
                                             "the server's version and restart the change feed");
        return true;
    }
    size_t from = static_cast<size_t>(offset);
    *body = page_of(d, items, from, top, form::feed);
    if (from + top < items.size())
        *body += next_link(r, top, from + top);
    else
        *body += ",\"@odata.deltaLink\":" +
                 json_string(r.where + "?token=demo-" + std::to_string(++q.cursors));
    *body += '}';
    *status = 200;
    return true;
}

} // namespace

std::string item_json(const drive &d, const node &n, form f) {
    std::string j =
        "{\"id\":" + json_string(n.id) + ",\"name\":" + json_string(n.parent ? n.name : "root") +
        ",\"size\":" + std::to_string(n.size) + ",\"createdDateTime\":" + json_string(n.modified) +
        ",\"lastModifiedDateTime\":" + json_string(n.modified);
    if (n.parent) {
        j += ",\"parentReference\":{\"driveId\":" + json_string(d.id) +
             ",\"driveType\":\"personal\",\"id\":" + json_string(n.parent->id);
        if (f == form::listing)
            j += ",\"path\":" + json_string("/drive/root:" + n.parent->path);
        j += '}';
    } else {
        j += ",\"root\":{}";
    }
    if (n.folder)
        return j + ",\"folder\":{\"childCount\":" + std::to_string(n.children.size()) + "}}";
    j += ",\"file\":{\"mimeType\":" + json_string(n.mime) + "}" + n.facets;
    if (n.download && f == form::listing)
        j += ",\"@microsoft.graph.downloadUrl\":" +
             json_string(d.download_base + url_encode(n.id, true) + "/" +
                         url_encode(n.clean, true) + "?tempauth=demo");
    return j + "}";
}

bool query_answer(const drive &d, const queries &q, const std::string &target, int *status,
                  std::string *body) {
    request r = split(target);
    return search(d, q, r, status, body) || feed(d, q, r, status, body);
}

std::string error_body(const char *code, const char *message) {
    return std::string("{\"error\":{\"code\":") + json_string(code) +
           ",\"message\":" + json_string(message) + "}}";
}

} // namespace demo
} // namespace cli
