// The folders `nimbus serve` has listed, kept for a short lifetime so that a
// visit to a folder seen a moment ago costs no request to the service, in
// bounded memory (least recently used folders go first).
#ifndef NIMBUS_TOOLS_SERVE_CACHE_H
#define NIMBUS_TOOLS_SERVE_CACHE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "serve/listing.h"

namespace cli {

class folder_cache {
  public:
    using clock = std::chrono::steady_clock;

    // max_bytes bounds the listings of every kept folder together; a folder
    // larger than that is never kept. life is how long a listing is served.
    folder_cache(size_t max_bytes, clock::duration life) : max_bytes_(max_bytes), life_(life) {}

    // The listing of folder ("" is the root) while it is younger than the
    // lifetime, else null. Readers share it; it never changes once stored.
    std::shared_ptr<const folder_listing> find(const std::string &folder);
    // Keeps a listing, pushing out the least recently used ones over the bound.
    void store(const std::string &folder, std::shared_ptr<const folder_listing> listing);

    // The invalidation hook for a change feed: a folder whose entries
    // changed, or everything when the feed lost track.
    void forget(const std::string &folder);
    void forget_all();
    // Forgets least recently used folders until they held n bytes or none
    // is left (for listings in flight short of budget); false when none was
    // kept. Their memory returns once no reader holds them.
    bool give_way(size_t n);
    // Forgets the folders kept before a time.
    void forget_older(clock::time_point t);
    // Forgets every kept folder that lists an entry with one of these ids,
    // and for an entry that is a folder every kept folder beneath it (a
    // rename changes their paths). Answers the ids no kept folder lists.
    std::unordered_set<std::string> forget_listing(const std::unordered_set<std::string> &ids);

    size_t bytes() const;
    size_t folders() const;

  private:
    struct slot {
        std::shared_ptr<const folder_listing> listing;
        clock::time_point born;
        std::list<std::string>::iterator use; // position in use_, most recent first
    };
    void drop(std::unordered_map<std::string, slot>::iterator it);

    const size_t max_bytes_;
    const clock::duration life_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, slot> map_;
    std::list<std::string> use_;
    size_t bytes_ = 0;
};

} // namespace cli

#endif
