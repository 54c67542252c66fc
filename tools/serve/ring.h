// The bytes of one proxied stream on their way from the transfer (libcurl's
// thread) to the client's connection (a libmicrohttpd worker), and when the
// client is worth waking for them. Not locked: the stream's lock guards it.
#ifndef NIMBUS_TOOLS_SERVE_RING_H
#define NIMBUS_TOOLS_SERVE_RING_H

#include <chrono>
#include <cstddef>
#include <memory>

namespace cli {

class byte_ring {
  public:
    using clock = std::chrono::steady_clock;
    // A suspended client is woken once this much is held: a wake-up costs
    // two context switches and a resumed connection, so it should carry
    // more than the one TLS record (16 KiB) each delivery brings.
    static constexpr size_t kWakeAt = 128 * 1024;
    // ... or once the oldest byte held has waited this long, so that a
    // slow service's trickle still flows.
    static constexpr std::chrono::milliseconds kHoldAtMost{20};

    explicit byte_ring(size_t capacity); // throws std::bad_alloc
    size_t used() const { return used_; }
    size_t room() const { return capacity_ - used_; }
    size_t capacity() const { return capacity_; }

    // One side copies while the other may too, the lock not held: the
    // writer into the first run of room, the reader out of the first run
    // of bytes held. The two never overlap, and each run stays as it was
    // told until its side reports the copy done (filled, drained).
    struct run {
        char *at;
        size_t size;
    };
    run free_run() const;
    void filled(size_t n, clock::time_point now); // N of the free run, arrived NOW
    run held_run() const;
    void drained(size_t n); // N of the held run, taken

    // Whether a client waiting for bytes should be woken for those held.
    bool worth_waking(clock::time_point now) const;

  private:
    std::unique_ptr<char[]> bytes_;
    size_t capacity_, head_ = 0, used_ = 0;
    clock::time_point oldest_{}; // when the ring last went from empty to not
};

} // namespace cli

#endif
