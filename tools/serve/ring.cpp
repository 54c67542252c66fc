#include "serve/ring.h"

#include <algorithm>

namespace cli {

byte_ring::byte_ring(size_t capacity) : bytes_(new char[capacity]), capacity_(capacity) {}

byte_ring::run byte_ring::free_run() const {
    size_t tail = (head_ + used_) % capacity_;
    return {bytes_.get() + tail, std::min(room(), capacity_ - tail)};
}

void byte_ring::filled(size_t n, clock::time_point now) {
    if (n > 0 && used_ == 0)
        oldest_ = now;
    used_ += n;
}

byte_ring::run byte_ring::held_run() const {
    return {bytes_.get() + head_, std::min(used_, capacity_ - head_)};
}

void byte_ring::drained(size_t n) {
    head_ = (head_ + n) % capacity_;
    used_ -= n;
}

bool byte_ring::worth_waking(clock::time_point now) const {
    return used_ >= std::min(kWakeAt, capacity_) || (used_ > 0 && now - oldest_ >= kHoldAtMost);
}

} // namespace cli
