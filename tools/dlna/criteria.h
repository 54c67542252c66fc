// What a control point asks Browse and Search to order and find by: the
// SortCriteria list ("+dc:title,-dc:date") and the SearchCriteria
// expression ("upnp:class derivedfrom \"object.item.audioItem\" and
// dc:title contains \"x\""). Pure functions over items: no I/O, no GUPnP.
#ifndef NIMBUS_TOOLS_DLNA_CRITERIA_H
#define NIMBUS_TOOLS_DLNA_CRITERIA_H

#include <cstddef>
#include <string>
#include <vector>

#include "dlna.h"

namespace dlna {

// UPnP error codes of the two readers.
enum : int {
    bad_search_criteria = 708,
    bad_sort_criteria = 709,
};

// What GetSortCapabilities and GetSearchCapabilities answer.
extern const char sort_capabilities[];
extern const char search_capabilities[];

// A criteria longer, or with more keys, terms or nesting, is refused: a
// TV sends a handful of keys and terms, and these bound what one request
// may cost.
constexpr size_t max_sort_bytes = 256;
constexpr size_t max_sort_keys = 8;
constexpr size_t max_search_bytes = 1024;
constexpr size_t max_search_terms = 16;
constexpr size_t max_search_depth = 8;

enum class property { title, date, track, artist, album, cls, id, ref_id };

struct sort_key {
    property prop = property::title;
    bool descending = false;
};

// Reads a comma-separated list of "+prop" / "-prop" (a key without a sign
// ascends) over dc:title, dc:date, upnp:originalTrackNumber, upnp:artist and
// upnp:album; blanks around keys are skipped. Null or blank: no key. 0, or
// bad_sort_criteria for anything else.
int read_sort(const char *text, std::vector<sort_key> &out);

// Orders items by the keys, stably (equal items keep their order, so pages
// of the same folder join up exactly). Without keys: folders first, then
// audio files with track numbers by number, then by name, ignoring ASCII
// case.
void sort_items(std::vector<item> &items, const std::vector<sort_key> &keys);

// A parsed SearchCriteria: "*", relations "prop op \"value\"" (op =, !=,
// contains, doesNotContain, derivedfrom) and "prop exists true|false" over
// dc:title, upnp:class, upnp:artist, upnp:album, @id and @refID, joined by
// and / or (and binds tighter) and grouped by parentheses. Strings compare
// ignoring ASCII case; upnp:class is the class the DIDL answer gives.
class search_criteria {
  public:
    bool matches(const item &it) const;
    // The text of a "contains" relation on dc:title, upnp:artist or
    // upnp:album, the first one written; empty when there is none. What a
    // drive search may look for: whatever it finds is filtered by the whole
    // criteria still.
    const std::string &search_text() const { return text_; }

    // The parsed form, read_search's: leaves are relations, inner nodes
    // and / or over two earlier nodes.
    enum class op { all, conj, disj, eq, ne, contains, lacks, derived, exists };
    struct node {
        op kind = op::all;
        property prop = property::title;
        std::string value; // the exists relation: "1" or ""
        size_t left = 0, right = 0;
    };

  private:
    friend int read_search(const char *text, search_criteria &out);
    bool eval(size_t n, const item &it) const;
    std::vector<node> nodes_; // the root is the last
    std::string text_;
};

// 0, or bad_search_criteria for a null, malformed, unsupported or too
// large criteria.
int read_search(const char *text, search_criteria &out);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_CRITERIA_H
