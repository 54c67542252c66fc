// The demo drive as its transport keeps it: the tree read from
// demo-drive.json, and the answers built from it the way the service builds
// its own (items, search pages, change-feed pages, the drive's facts).
#ifndef NIMBUS_TOOLS_DEMO_DRIVE_H
#define NIMBUS_TOOLS_DEMO_DRIVE_H

#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace cli {
namespace demo {

struct node {
    std::string name;  // as the service spells it
    std::string clean; // as the library shows it: '/' -> U+2215, controls -> '_'
    std::string path;  // virtual path, "" for the root
    std::string id;
    std::string modified;
    std::string mime;
    std::string facets; // ",\"audio\":{...}" and the like, as Graph sends them
    bool folder = false;
    bool download = true;
    long long size = 0;
    const node *parent = nullptr;
    std::vector<node> children;
};

struct drive {
    std::string token_answer;
    std::string download_base;
    std::string about; // what /me/drive answers
    std::string id;    // the drive's id, in every parentReference
    size_t page_size = 200;
    node root;
};

// How an item is written: as a listing, a lookup or a search answers it
// (with its folder's path and a download URL), or as the change feed does
// (neither: a personal drive's feed leaves the path out).
enum class form { listing, feed };
std::string item_json(const drive &d, const node &n, form f);

// The requests whose answer depends on what they ask rather than on a fixed
// URL. Each URL is learned from the library without its query.
struct queries {
    std::string search_head, search_tail;          // a search is head + quoted text + tail
    std::map<std::string, const node *> feeds;     // a folder's change feed
    mutable std::atomic<unsigned long> cursors{0}; // the delta links handed out
};

// The answer to a search or change-feed request (target without bearer or
// $select), or false when target is neither.
bool query_answer(const drive &d, const queries &q, const std::string &target, int *status,
                  std::string *body);

// The service's error answer: {"error":{"code":...,"message":...}}.
std::string error_body(const char *code, const char *message);

} // namespace demo
} // namespace cli

#endif
