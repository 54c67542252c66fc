// The covers `nimbus serve` hands out (album art and posters from the
// service's thumbnails): kept in memory, fetched once however many ask at
// the same moment, and never more than a few fetches at a time, so that a
// TV that asks a thousand covers at once costs the service a few requests
// in flight and the gateway a bounded number of bytes.
#ifndef NIMBUS_TOOLS_SERVE_COVERS_H
#define NIMBUS_TOOLS_SERVE_COVERS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace cli {

// A cover's bytes are at most this long: a 176-pixel thumbnail is a few
// KiB, so anything near this is not the thumbnail it claims to be.
constexpr size_t kMaxCover = 512 * 1024;

// "image/jpeg" or "image/png" when the bytes begin as such a file does,
// else null: the service's Content-Type is not taken on trust, since the
// answer goes to a browser or TV as an image.
const char *cover_type(const std::string &bytes);

// What asking for a cover came to.
struct cover_answer {
    unsigned status = 0; // 200, 404 (none), 502 (the service's answer was bad), 503 (busy)
    std::shared_ptr<const std::string> bytes; // with 200
    const char *type = nullptr;               // with 200: cover_type of the bytes
    std::string error;                        // otherwise: one line for the client
};

class cover_cache {
  public:
    using clock = std::chrono::steady_clock;
    using fetch_fn = std::function<cover_answer()>;

    struct limits {
        size_t max_bytes;          // the kept covers' bytes (and keys) together
        unsigned max_fetches;      // fetches under way at once, whatever they are for
        clock::duration life;      // a cover is served this long without asking again
        clock::duration miss_life; // and "none" (404) this long
        clock::duration wait;      // how long a request waits for a free fetch
    };
    explicit cover_cache(const limits &l) : l_(l) {}

    // Asks for n bytes of a shared bound before keeping them, and gives
    // them back when they go: the gateway's listings' budget. Unset: only
    // max_bytes bounds the covers.
    void share_budget(std::function<bool(size_t)> take, std::function<void(size_t)> give) {
        take_ = std::move(take);
        give_ = std::move(give);
    }

    // The cover kept under key while fresh; else fetch's answer, fetched
    // by one caller while the others asking for the same key wait for it.
    // A fetch waits for one of max_fetches; none free within wait answers
    // 503. 200 and 404 are kept; 502 and 503 are not (the next ask tries
    // again).
    cover_answer get(const std::string &key, const fetch_fn &fetch);

    // Forget the kept answers (all, or those whose key gone() names), and
    // the answers of fetches under way for them once they end: such an
    // answer may show the picture from before the change.
    void forget_all();
    void forget_if(const std::function<bool(const std::string &key)> &gone);
    size_t bytes() const;
    size_t entries() const;

  private:
    struct round {
        bool done = false;
        bool forgotten = false; // served to its waiters, not kept
        cover_answer answer;
    };
    struct slot {
        cover_answer answer;
        clock::time_point until;
        size_t cost;
        std::list<std::string>::iterator use;
    };
    bool fresh(const std::string &key, cover_answer *out);
    void keep(const std::string &key, const cover_answer &a);
    void drop(std::unordered_map<std::string, slot>::iterator it);

    const limits l_;
    std::function<bool(size_t)> take_;
    std::function<void(size_t)> give_;
    mutable std::mutex lock_;
    std::condition_variable changed_; // a round ended or a fetch freed
    std::unordered_map<std::string, slot> map_;
    std::list<std::string> use_; // most recent first
    std::unordered_map<std::string, std::shared_ptr<round>> now_;
    size_t bytes_ = 0;
    unsigned fetching_ = 0;
};

} // namespace cli

#endif
