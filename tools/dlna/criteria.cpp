#include "criteria.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "didl.h"

namespace dlna {

const char sort_capabilities[] = "dc:title,dc:date,upnp:originalTrackNumber,upnp:artist,upnp:album";
const char search_capabilities[] = "dc:title,upnp:class,upnp:artist,upnp:album";

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string folded(const std::string &s) {
    std::string out(s);
    for (char &c : out)
        c = lower(c);
    return out;
}

// <0, 0, >0 ignoring ASCII case.
int compare_folded(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        unsigned char x = static_cast<unsigned char>(lower(a[i]));
        unsigned char y = static_cast<unsigned char>(lower(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// A view into the item's path: a sort asks it of both sides of every
// comparison, and a copy each time cost a 1000-entry folder 20 000
// allocations per Browse.
std::string_view name_of(const item &it) {
    std::string_view path(it.path);
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string title_of(const item &it) {
    return it.title.empty() ? std::string(name_of(it)) : it.title;
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool property_named(const std::string &name, property &p, bool sorting) {
    static const struct {
        const char *name;
        property prop;
        bool sort, search;
    } known[] = {{"dc:title", property::title, true, true},
                 {"dc:date", property::date, true, false},
                 {"upnp:originalTrackNumber", property::track, true, false},
                 {"upnp:artist", property::artist, true, true},
                 {"upnp:album", property::album, true, true},
                 {"upnp:class", property::cls, false, true},
                 {"@id", property::id, false, true},
                 {"@refID", property::ref_id, false, true}};
    for (const auto &k : known)
        if (name == k.name && (sorting ? k.sort : k.search)) {
            p = k.prop;
            return true;
        }
    return false;
}

// The text of a property, and whether the item has it at all.
bool value_of(const item &it, property p, std::string &out) {
    switch (p) {
    case property::title:
        out = title_of(it);
        return true;
    case property::artist:
        out = it.folder ? std::string() : it.artist;
        return !out.empty();
    case property::album:
        out = it.folder ? std::string() : it.album;
        return !out.empty();
    case property::cls:
        out = upnp_class(it);
        return true;
    case property::id:
        out = object_id(it.path);
        return true;
    default: // no object is a reference to another
        out.clear();
        return false;
    }
}

// The order without keys: folders, tracks by number, then names.
bool default_before(const item &a, const item &b) {
    if (a.folder != b.folder)
        return a.folder;
    bool ta = !a.folder && a.track > 0, tb = !b.folder && b.track > 0;
    if (ta != tb)
        return ta;
    if (ta && a.track != b.track)
        return a.track < b.track;
    std::string_view na = name_of(a), nb = name_of(b);
    int c = compare_folded(na, nb);
    return c != 0 ? c < 0 : na < nb;
}

int compare_key(const item &a, const item &b, property p) {
    switch (p) {
    case property::date:
        return a.year == b.year ? 0 : a.year < b.year ? -1 : 1;
    case property::track:
        return a.track == b.track ? 0 : a.track < b.track ? -1 : 1;
    default: {
        std::string x, y;
        value_of(a, p, x);
        value_of(b, p, y);
        return compare_folded(x, y);
    }
    }
}

// A recursive-descent reader of the SearchCriteria grammar.
class search_reader {
  public:
    search_reader(const char *text, std::vector<search_criteria::node> &nodes, std::string &found)
        : s_(text), nodes_(nodes), found_(found) {}
    using node = search_criteria::node;
    using op = decltype(node::kind);

    bool read() {
        skip();
        if (s_[pos_] == '*') {
            pos_++;
            skip();
            nodes_.push_back(node());
            return s_[pos_] == '\0';
        }
        size_t root;
        if (!disjunction(0, root))
            return false;
        skip();
        return s_[pos_] == '\0';
    }

  private:
    void skip() {
        while (blank(s_[pos_]))
            pos_++;
    }

    // A word: up to a blank, a parenthesis, a quote or the end.
    std::string word() {
        size_t from = pos_;
        while (s_[pos_] && !blank(s_[pos_]) && s_[pos_] != '(' && s_[pos_] != ')' &&
               s_[pos_] != '"')
            pos_++;
        return std::string(s_ + from, pos_ - from);
    }

    // Whether the next word is w (and takes it).
    bool keyword(const char *w) {
        skip();
        size_t n = std::strlen(w);
        if (std::strncmp(s_ + pos_, w, n) != 0)
            return false;
        char after = s_[pos_ + n];
        if (after && !blank(after) && after != '(')
            return false;
        pos_ += n;
        return true;
    }

    size_t add(node n) {
        nodes_.push_back(std::move(n));
        return nodes_.size() - 1;
    }

    bool joined(size_t depth, size_t &out, op kind, const char *word,
                bool (search_reader::*part)(size_t, size_t &)) {
        if (!(this->*part)(depth, out))
            return false;
        while (keyword(word)) {
            size_t right;
            if (!(this->*part)(depth, right))
                return false;
            node n;
            n.kind = kind;
            n.left = out;
            n.right = right;
            out = add(n);
        }
        return true;
    }

    bool disjunction(size_t depth, size_t &out) {
        return joined(depth, out, op::disj, "or", &search_reader::conjunction);
    }

    bool conjunction(size_t depth, size_t &out) {
        return joined(depth, out, op::conj, "and", &search_reader::primary);
    }

    bool primary(size_t depth, size_t &out) {
        skip();
        if (s_[pos_] == '(') {
            if (depth + 1 > max_search_depth)
                return false;
            pos_++;
            if (!disjunction(depth + 1, out))
                return false;
            skip();
            if (s_[pos_] != ')')
                return false;
            pos_++;
            return true;
        }
        return relation(out);
    }

    bool relation(size_t &out) {
        if (++terms_ > max_search_terms)
            return false;
        node n;
        if (!property_named(word(), n.prop, false) || !blank(s_[pos_]))
            return false;
        skip();
        std::string o = word();
        if (o == "exists") {
            n.kind = op::exists;
            if (keyword("true"))
                n.value = "1";
            else if (!keyword("false"))
                return false;
            out = add(n);
            return true;
        }
        static const struct {
            const char *name;
            op kind;
        } ops[] = {{"=", op::eq},
                   {"!=", op::ne},
                   {"contains", op::contains},
                   {"doesNotContain", op::lacks},
                   {"derivedfrom", op::derived}};
        bool known = false;
        for (const auto &k : ops)
            if (o == k.name) {
                n.kind = k.kind;
                known = true;
            }
        if (!known)
            return false;
        skip();
        if (!quoted(n.value))
            return false;
        if (n.kind == op::contains && found_.empty() && !n.value.empty() &&
            (n.prop == property::title || n.prop == property::artist || n.prop == property::album))
            found_ = n.value;
        out = add(n);
        return true;
    }

    // A string in double quotes; \" and \\ stand for " and \.
    bool quoted(std::string &out) {
        if (s_[pos_] != '"')
            return false;
        for (pos_++;; pos_++) {
            char c = s_[pos_];
            if (c == '\0')
                return false;
            if (c == '"') {
                pos_++;
                return true;
            }
            if (c == '\\') {
                c = s_[++pos_];
                if (c != '"' && c != '\\')
                    return false;
            }
            out += c;
        }
    }

    const char *s_;
    size_t pos_ = 0, terms_ = 0;
    std::vector<search_criteria::node> &nodes_;
    std::string &found_;
};

} // namespace

namespace {

int read_sort_keys(const char *text, std::vector<sort_key> &out) {
    if (!text)
        return 0;
    size_t len = std::strlen(text);
    if (len > max_sort_bytes)
        return bad_sort_criteria;
    std::string all(text, len);
    size_t start = 0;
    bool only_blank = all.find_first_not_of(" \t\r\n") == std::string::npos;
    if (only_blank)
        return 0;
    for (;;) {
        size_t comma = all.find(',', start);
        std::string k =
            all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t a = k.find_first_not_of(" \t\r\n"), b = k.find_last_not_of(" \t\r\n");
        if (a == std::string::npos || out.size() == max_sort_keys)
            return bad_sort_criteria;
        k = k.substr(a, b - a + 1);
        sort_key key;
        if (k[0] == '+' || k[0] == '-') {
            key.descending = k[0] == '-';
            k.erase(0, 1);
        }
        if (!property_named(k, key.prop, true))
            return bad_sort_criteria;
        out.push_back(key);
        if (comma == std::string::npos)
            return 0;
        start = comma + 1;
    }
}

} // namespace

int read_sort(const char *text, std::vector<sort_key> &out) {
    out.clear();
    int rc = read_sort_keys(text, out);
    if (rc != 0)
        out.clear(); // a refused list orders nothing, not its first keys
    return rc;
}

void sort_items(std::vector<item> &items, const std::vector<sort_key> &keys) {
    if (keys.empty()) {
        std::stable_sort(items.begin(), items.end(), default_before);
        return;
    }
    std::stable_sort(items.begin(), items.end(), [&keys](const item &a, const item &b) {
        for (const sort_key &k : keys) {
            int c = compare_key(a, b, k.prop);
            if (c != 0)
                return k.descending ? c > 0 : c < 0;
        }
        return false;
    });
}

int read_search(const char *text, search_criteria &out) {
    out.nodes_.clear();
    out.text_.clear();
    if (!text || std::strlen(text) > max_search_bytes)
        return bad_search_criteria;
    search_reader r(text, out.nodes_, out.text_);
    if (!r.read() || out.nodes_.empty()) {
        out.nodes_.clear();
        out.text_.clear();
        return bad_search_criteria;
    }
    return 0;
}

bool search_criteria::matches(const item &it) const {
    return !nodes_.empty() && eval(nodes_.size() - 1, it);
}

bool search_criteria::eval(size_t n, const item &it) const {
    const node &x = nodes_[n];
    switch (x.kind) {
    case op::all:
        return true;
    case op::conj:
        return eval(x.left, it) && eval(x.right, it);
    case op::disj:
        return eval(x.left, it) || eval(x.right, it);
    default:
        break;
    }
    std::string v;
    bool has = value_of(it, x.prop, v);
    switch (x.kind) {
    case op::exists:
        return has == !x.value.empty();
    case op::eq:
        return has && compare_folded(v, x.value) == 0;
    case op::ne:
        return !has || compare_folded(v, x.value) != 0;
    case op::contains:
        return has && folded(v).find(folded(x.value)) != std::string::npos;
    case op::lacks:
        return !has || folded(v).find(folded(x.value)) == std::string::npos;
    default: // derivedfrom: the class itself or one beneath it
        return has && (compare_folded(v, x.value) == 0 ||
                       (v.size() > x.value.size() && v[x.value.size()] == '.' &&
                        compare_folded(v.substr(0, x.value.size()), x.value) == 0));
    }
}

} // namespace dlna
