// A listed folder as `nimbus serve` holds it, and the one budget that every
// listing alive draws from (being listed, rendered or kept).
//
// A folder of 100 000 entries is a listing of 100 000 rows, and a client
// can ask for several such folders at once. Rows are packed into one text
// pool per listing (a row is a 4-byte reference and its texts with varint
// lengths, media fields only when the entry has some), and the pool's
// chunks are charged to the budget as they are allocated, so that the
// listings' memory together never passes the bound, whoever asks.
#ifndef NIMBUS_TOOLS_SERVE_LISTING_H
#define NIMBUS_TOOLS_SERVE_LISTING_H

#include <nimbus.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

namespace cli {

// What a listing that ran out of budget answers, beside the library's codes.
enum : int {
    listing_busy = 1001,      // other listings hold the budget: come back in a moment
    listing_too_large = 1002, // the folder alone needs more than the whole budget
};

// The bytes every listing alive holds together: taken as rows arrive,
// given back when a listing is released.
//
// Listings in flight are served oldest first. Were every listing short of
// room simply refused, two large folders listed at once could each hold
// half the budget, both be refused and neither ever be listed. So the
// oldest listing in flight that finds the budget gone waits a little,
// while the younger ones are refused at their next take and give back
// what they hold.
class listing_budget {
  public:
    static constexpr uint64_t kNoTicket = UINT64_MAX;

    explicit listing_budget(size_t max_bytes) : max_(max_bytes) {}
    listing_budget(const listing_budget &) = delete;
    listing_budget &operator=(const listing_budget &) = delete;

    // Asked, outside any lock, for room when the budget is gone; answers
    // whether it released something (the kept folders giving way).
    void on_short(std::function<bool(size_t)> reclaim) { reclaim_ = std::move(reclaim); }

    // A listing's place in line, from its start to its end (kNoTicket
    // when even that could not be noted: it then never waits).
    uint64_t enter();
    void leave(uint64_t ticket);

    // Takes n bytes: true, or false when they would pass the bound even
    // after the reclaim hook released what it could and, for the oldest
    // listing in flight, after the younger ones gave way.
    bool take(size_t n, uint64_t ticket = kNoTicket);
    void give(size_t n);

    size_t used() const { return used_.load(); }
    size_t max() const { return max_; }

  private:
    bool try_take(size_t n);
    bool wait_for_room(size_t n, uint64_t ticket);
    const size_t max_;
    std::atomic<size_t> used_{0};
    std::function<bool(size_t)> reclaim_;
    std::mutex lock_;
    std::condition_variable given_;
    std::set<uint64_t> in_flight_;
    uint64_t next_ticket_ = 0;
    std::atomic<uint64_t> waiting_{kNoTicket}; // the listing waiting for room
};

// One entry of a listed folder, as pages, playlists and the JSON answer
// read it. The texts point into the listing, valid while it lives.
struct folder_row {
    bool folder = false;
    std::string_view name;
    std::string_view id;
    int64_t size = -1;
    int64_t mtime_ms = 0;
    // What a MediaServer shows: the file's MIME type and media metadata.
    std::string_view mime, title, artist, album;
    int32_t track = 0, year = 0, width = 0, height = 0;
    int64_t duration_ms = 0;
    int32_t bitrate_kbps = 0, audio_channels = 0;
    const char *media_type = nullptr; // the entry's, a static text
};

// A folder's entries in the service's order, and their display order
// (folders first, then by name). Built by one thread, then read-only.
class folder_listing {
  public:
    // budget may be null: the listing is then bounded by nothing but memory.
    explicit folder_listing(listing_budget *budget = nullptr)
        : budget_(budget), ticket_(budget ? budget->enter() : listing_budget::kNoTicket) {}
    ~folder_listing();
    folder_listing(const folder_listing &) = delete;
    folder_listing &operator=(const folder_listing &) = delete;

    // Appends an entry. False when memory or the budget ran out; fault()
    // then says which.
    bool add(const nimbus_entry &e);
    // Trims the last chunk and sorts the display order (folders first,
    // then names by before): call once, after the last add.
    using name_order = bool (*)(std::string_view, std::string_view);
    bool finish(name_order before);

    size_t size() const { return at_.size(); }
    folder_row row(size_t i) const;
    // Indexes of rows in display order (empty before finish()).
    const std::vector<uint32_t> &order() const { return order_; }
    // What the listing holds: its chunks, references, order and itself.
    size_t bytes() const { return charged_; }
    // 0, NIMBUS_E_NOMEM, listing_busy or listing_too_large.
    int fault() const { return fault_; }

  private:
    bool charge(size_t n);
    void release();
    char *room(size_t n, uint32_t *ref);
    template <class T> bool grow(std::vector<T> &v);

    listing_budget *budget_;
    uint64_t ticket_; // while in flight: until finish() or the end
    std::vector<std::unique_ptr<char[]>> chunks_;
    size_t last_used_ = 0, last_size_ = 0; // of chunks_.back()
    std::vector<uint32_t> at_;             // per row: chunk << 16 | offset
    std::vector<uint32_t> order_;
    size_t charged_ = 0;
    int fault_ = 0;
};

} // namespace cli

#endif
