// The gateway's cover cache (see covers.h).
#include "serve/covers.h"

#include <cstring>

namespace cli {

namespace {

// What a kept entry costs besides its bytes: the key twice (map and use
// list), the nodes and the answer.
constexpr size_t kEntryCost = 256;

} // namespace

const char *cover_type(const std::string &b) {
    if (b.size() >= 4 && static_cast<unsigned char>(b[0]) == 0xff &&
        static_cast<unsigned char>(b[1]) == 0xd8 && static_cast<unsigned char>(b[2]) == 0xff)
        return "image/jpeg";
    if (b.size() >= 8 && std::memcmp(b.data(), "\x89PNG\r\n\x1a\n", 8) == 0)
        return "image/png";
    return nullptr;
}

bool cover_cache::fresh(const std::string &key, cover_answer *out) {
    auto it = map_.find(key);
    if (it == map_.end())
        return false;
    if (clock::now() >= it->second.until) {
        drop(it);
        return false;
    }
    use_.splice(use_.begin(), use_, it->second.use);
    *out = it->second.answer;
    return true;
}

cover_answer cover_cache::get(const std::string &key, const fetch_fn &fetch) {
    std::shared_ptr<round> mine;
    {
        std::unique_lock<std::mutex> hold(lock_);
        cover_answer kept;
        if (fresh(key, &kept))
            return kept;
        auto under_way = now_.find(key);
        if (under_way != now_.end()) {
            std::shared_ptr<round> other = under_way->second;
            changed_.wait(hold, [&other] { return other->done; });
            return other->answer;
        }
        auto deadline = clock::now() + l_.wait;
        if (!changed_.wait_until(hold, deadline, [this] { return fetching_ < l_.max_fetches; })) {
            cover_answer busy;
            busy.status = 503;
            busy.error = "the gateway fetches too many covers; try again in a moment";
            return busy;
        }
        // Another caller may have fetched it while this one waited.
        if (fresh(key, &kept))
            return kept;
        under_way = now_.find(key);
        if (under_way != now_.end()) {
            std::shared_ptr<round> other = under_way->second;
            changed_.wait(hold, [&other] { return other->done; });
            return other->answer;
        }
        mine = std::make_shared<round>();
        now_.emplace(key, mine);
        fetching_++;
    }
    cover_answer a;
    try {
        a = fetch();
    } catch (...) {
        a = cover_answer();
        a.status = 503;
        a.error = "out of memory";
    }
    std::lock_guard<std::mutex> hold(lock_);
    fetching_--;
    now_.erase(key);
    mine->answer = a;
    mine->done = true;
    if (!mine->forgotten && (a.status == 200 || a.status == 404)) {
        try {
            keep(key, a);
        } catch (...) { // no room to keep it: served all the same
        }
    }
    changed_.notify_all();
    return a;
}

void cover_cache::keep(const std::string &key, const cover_answer &a) {
    size_t cost = kEntryCost + 2 * key.size() + (a.bytes ? a.bytes->size() : 0);
    if (cost > l_.max_bytes)
        return;
    auto old = map_.find(key);
    if (old != map_.end())
        drop(old);
    while (!use_.empty() && bytes_ + cost > l_.max_bytes)
        drop(map_.find(use_.back()));
    if (take_ && !take_(cost))
        return;
    use_.push_front(key);
    try {
        auto life = a.status == 200 ? l_.life : l_.miss_life;
        map_.emplace(key, slot{a, clock::now() + life, cost, use_.begin()});
    } catch (...) {
        use_.pop_front();
        if (give_)
            give_(cost);
        throw;
    }
    bytes_ += cost;
}

void cover_cache::drop(std::unordered_map<std::string, slot>::iterator it) {
    bytes_ -= it->second.cost;
    if (give_)
        give_(it->second.cost);
    use_.erase(it->second.use);
    map_.erase(it);
}

void cover_cache::forget_all() {
    std::lock_guard<std::mutex> hold(lock_);
    while (!map_.empty())
        drop(map_.begin());
    for (auto &under_way : now_)
        under_way.second->forgotten = true;
}

void cover_cache::forget_if(const std::function<bool(const std::string &key)> &gone) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = map_.begin(); it != map_.end();) {
        auto next = std::next(it);
        if (gone(it->first))
            drop(it);
        it = next;
    }
    for (auto &under_way : now_)
        if (gone(under_way.first))
            under_way.second->forgotten = true;
}

size_t cover_cache::bytes() const {
    std::lock_guard<std::mutex> hold(lock_);
    return bytes_;
}

size_t cover_cache::entries() const {
    std::lock_guard<std::mutex> hold(lock_);
    return map_.size();
}

} // namespace cli
