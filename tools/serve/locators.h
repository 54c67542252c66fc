// The download URLs the gateway looked up lately, by drive path.
#ifndef NIMBUS_TOOLS_SERVE_LOCATORS_H
#define NIMBUS_TOOLS_SERVE_LOCATORS_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>
#include <unordered_map>

namespace cli {

constexpr auto kLocatorLife = std::chrono::minutes(10); // download URLs live about an hour
constexpr size_t kLocatorEntries = 4096;

// What the gateway knows of a file besides its download URL: its type and
// the media facts a renderer is told about it (contentFeatures.dlna.org).
struct file_facts {
    std::string type; // the library's type of the file ("" when none)
    int64_t size = -1;
    int64_t duration_ms = 0;
    int32_t width = 0, height = 0;
};

// Download URLs by drive path, with the file's facts, each kept 10 minutes,
// so a player that opens a file again and again (seeking, probing) costs
// one Graph request.
class locator_cache {
  public:
    using clock_type = std::chrono::steady_clock;

    bool find(const std::string &path, std::string *url, file_facts *facts) {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = map_.find(path);
        if (it == map_.end())
            return false;
        if (clock_type::now() - it->second.born >= kLocatorLife) {
            map_.erase(it);
            return false;
        }
        *url = it->second.url;
        *facts = it->second.facts;
        return true;
    }

    void forget(const std::string &path) {
        std::lock_guard<std::mutex> lock(lock_);
        map_.erase(path);
    }

    void store(const std::string &path, const std::string &url, const file_facts &facts) {
        std::lock_guard<std::mutex> lock(lock_);
        clock_type::time_point now = clock_type::now();
        if (map_.size() >= kLocatorEntries && map_.find(path) == map_.end()) {
            for (auto it = map_.begin(); it != map_.end();)
                it = now - it->second.born >= kLocatorLife ? map_.erase(it) : std::next(it);
            if (map_.size() >= kLocatorEntries)
                map_.erase(
                    std::min_element(map_.begin(), map_.end(), [](const auto &a, const auto &b) {
                        return a.second.born < b.second.born;
                    }));
        }
        map_[path] = entry{url, facts, now};
    }

  private:
    struct entry {
        std::string url;
        file_facts facts;
        clock_type::time_point born;
    };
    std::mutex lock_;
    std::unordered_map<std::string, entry> map_;
};

} // namespace cli

#endif
