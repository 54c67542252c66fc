// The gateway's folder cache.
#include "serve/cache.h"

namespace cli {

std::shared_ptr<const folder_listing> folder_cache::find(const std::string &folder) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = map_.find(folder);
    if (it == map_.end())
        return nullptr;
    if (clock::now() - it->second.born >= life_) {
        drop(it);
        return nullptr;
    }
    use_.splice(use_.begin(), use_, it->second.use);
    return it->second.listing;
}

void folder_cache::store(const std::string &folder, std::shared_ptr<const folder_listing> listing) {
    if (!listing || listing->bytes() > max_bytes_)
        return;
    std::lock_guard<std::mutex> hold(lock_);
    auto old = map_.find(folder);
    if (old != map_.end())
        drop(old);
    while (!use_.empty() && bytes_ + listing->bytes() > max_bytes_)
        drop(map_.find(use_.back()));
    use_.push_front(folder);
    bytes_ += listing->bytes();
    map_[folder] = slot{std::move(listing), clock::now(), use_.begin()};
}

void folder_cache::forget(const std::string &folder) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = map_.find(folder);
    if (it != map_.end())
        drop(it);
}

void folder_cache::forget_all() {
    std::lock_guard<std::mutex> hold(lock_);
    map_.clear();
    use_.clear();
    bytes_ = 0;
}

bool folder_cache::give_way(size_t n) {
    std::lock_guard<std::mutex> hold(lock_);
    if (use_.empty())
        return false;
    size_t freed = 0;
    while (!use_.empty() && freed < n) {
        auto it = map_.find(use_.back());
        freed += it->second.listing->bytes();
        drop(it);
    }
    return true;
}

void folder_cache::forget_older(clock::time_point t) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = map_.begin(); it != map_.end();) {
        auto next = std::next(it);
        if (it->second.born < t)
            drop(it);
        it = next;
    }
}

std::unordered_set<std::string>
folder_cache::forget_listing(const std::unordered_set<std::string> &ids) {
    std::unordered_set<std::string> missing = ids;
    std::vector<std::string> gone, trees;
    std::lock_guard<std::mutex> hold(lock_);
    std::string id;
    for (const auto &kept : map_) {
        const folder_listing &l = *kept.second.listing;
        for (size_t i = 0; i < l.size(); i++) {
            folder_row r = l.row(i);
            id.assign(r.id);
            if (ids.count(id)) {
                missing.erase(id);
                if (gone.empty() || gone.back() != kept.first)
                    gone.push_back(kept.first);
                if (r.folder)
                    trees.push_back(kept.first + "/" + std::string(r.name));
            }
        }
    }
    for (const std::string &folder : gone) {
        auto it = map_.find(folder);
        if (it != map_.end())
            drop(it);
    }
    for (const std::string &top : trees)
        for (auto it = map_.begin(); it != map_.end();) {
            const std::string &k = it->first;
            bool beneath = k.compare(0, top.size(), top) == 0 &&
                           (k.size() == top.size() || k[top.size()] == '/');
            auto next = std::next(it);
            if (beneath)
                drop(it);
            it = next;
        }
    return missing;
}

size_t folder_cache::bytes() const {
    std::lock_guard<std::mutex> hold(lock_);
    return bytes_;
}

size_t folder_cache::folders() const {
    std::lock_guard<std::mutex> hold(lock_);
    return map_.size();
}

void folder_cache::drop(std::unordered_map<std::string, slot>::iterator it) {
    bytes_ -= it->second.listing->bytes();
    use_.erase(it->second.use);
    map_.erase(it);
}

} // namespace cli
