// The gateway's packed listings and their shared budget.
#include "serve/listing.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

namespace cli {
namespace {

// Texts go into chunks of this size; an entry larger than that gets a
// chunk of its own. A reference holds the chunk's number and the offset in
// it in 16 bits each.
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMaxChunks = 65536;

// How long the oldest listing in flight waits for younger ones to give
// way before it too is refused (a younger one stalled on the service
// holds its room until its next chunk).
constexpr std::chrono::seconds kYieldWait{5};

// A row starts with one byte of flags.
constexpr unsigned char kFolder = 1, kMime = 2, kMedia = 4;
// The library's media type, in two bits of the same byte.
constexpr unsigned char kKindShift = 3, kKindMask = 3 << kKindShift;
constexpr const char *kKinds[] = {nullptr, "audio", "video", "image"};

unsigned char kind_bits(const char *media_type) {
    for (unsigned char k = 1; k < 4; k++)
        if (media_type && std::strcmp(media_type, kKinds[k]) == 0)
            return static_cast<unsigned char>(k << kKindShift);
    return 0;
}

uint64_t zigzag(int64_t v) {
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}

int64_t unzigzag(uint64_t v) {
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

size_t varint_size(uint64_t v) {
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        n++;
    }
    return n;
}

char *put_varint(char *p, uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<char>((v & 0x7f) | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<char>(v);
    return p;
}

const char *get_varint(const char *p, uint64_t *v) {
    uint64_t out = 0;
    for (int shift = 0;; shift += 7) {
        auto b = static_cast<unsigned char>(*p++);
        out |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80))
            break;
    }
    *v = out;
    return p;
}

std::string_view text_of(const char *s) {
    return s ? std::string_view(s) : std::string_view();
}

size_t text_size(std::string_view s) {
    return varint_size(s.size()) + s.size();
}

char *put_text(char *p, std::string_view s) {
    p = put_varint(p, s.size());
    if (!s.empty())
        std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

const char *get_text(const char *p, std::string_view *s) {
    uint64_t n = 0;
    p = get_varint(p, &n);
    *s = std::string_view(p, n);
    return p + n;
}

int32_t get_int32(const char **p) {
    uint64_t v = 0;
    *p = get_varint(*p, &v);
    return static_cast<int32_t>(unzigzag(v));
}

} // namespace

bool listing_budget::try_take(size_t n) {
    size_t now = used_.load();
    do {
        if (n > max_ || now > max_ - n)
            return false;
    } while (!used_.compare_exchange_weak(now, now + n));
    return true;
}

uint64_t listing_budget::enter() {
    std::lock_guard<std::mutex> hold(lock_);
    try {
        uint64_t ticket = next_ticket_++;
        in_flight_.insert(ticket);
        return ticket;
    } catch (...) {
        return kNoTicket;
    }
}

void listing_budget::leave(uint64_t ticket) {
    if (ticket == kNoTicket)
        return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        in_flight_.erase(ticket);
    }
    given_.notify_all();
}

bool listing_budget::take(size_t n, uint64_t ticket) {
    for (;;) {
        if (waiting_.load() < ticket) // an older listing waits: give way
            return false;
        if (try_take(n))
            return true;
        if (reclaim_ && reclaim_(n))
            continue;
        return wait_for_room(n, ticket);
    }
}

// Only the oldest listing in flight waits, and only while younger ones
// are in flight to give way; each round asks the kept folders again, as
// a younger listing may have been kept meanwhile.
bool listing_budget::wait_for_room(size_t n, uint64_t ticket) {
    auto until = std::chrono::steady_clock::now() + kYieldWait;
    std::unique_lock<std::mutex> hold(lock_);
    bool got = false;
    for (;;) {
        if (in_flight_.empty() || *in_flight_.begin() != ticket || *in_flight_.rbegin() == ticket ||
            std::chrono::steady_clock::now() >= until)
            break;
        waiting_.store(ticket);
        if (try_take(n)) {
            got = true;
            break;
        }
        given_.wait_for(hold, std::chrono::milliseconds(50));
        if (try_take(n)) {
            got = true;
            break;
        }
        hold.unlock();
        bool released = reclaim_ && reclaim_(n);
        hold.lock();
        if (released && try_take(n)) {
            got = true;
            break;
        }
    }
    if (waiting_.load() == ticket)
        waiting_.store(kNoTicket);
    return got;
}

void listing_budget::give(size_t n) {
    used_.fetch_sub(n);
    if (waiting_.load() != kNoTicket) {
        { std::lock_guard<std::mutex> hold(lock_); }
        given_.notify_all();
    }
}

folder_listing::~folder_listing() {
    if (budget_)
        release();
}

bool folder_listing::charge(size_t n) {
    if (budget_ && charged_ + n > budget_->max()) {
        fault_ = listing_too_large;
        return false;
    }
    if (budget_ && !budget_->take(n, ticket_)) {
        fault_ = listing_busy;
        release();
        return false;
    }
    charged_ += n;
    return true;
}

// What a listing holds goes back when it ends, and at once when it is
// refused for want of room (it is never read then), to the older listing
// that may be waiting for it.
void folder_listing::release() {
    decltype(chunks_)().swap(chunks_);
    decltype(at_)().swap(at_);
    last_used_ = last_size_ = 0;
    budget_->give(charged_);
    charged_ = 0;
    budget_->leave(ticket_);
    ticket_ = listing_budget::kNoTicket;
}

// Room for one more element of v, charged: capacities double, as the
// vector's own growth would, but each step is asked of the budget first.
template <class T> bool folder_listing::grow(std::vector<T> &v) {
    if (v.size() < v.capacity())
        return true;
    size_t more = std::max<size_t>(v.capacity(), 16);
    if (!charge(more * sizeof(T)))
        return false;
    try {
        v.reserve(v.capacity() + more);
    } catch (...) {
        fault_ = NIMBUS_E_NOMEM;
        return false;
    }
    return true;
}

// n bytes for one row's texts, in the last chunk or a new one.
char *folder_listing::room(size_t n, uint32_t *ref) {
    if (chunks_.empty() || last_size_ - last_used_ < n) {
        size_t size = std::max(n, kChunk);
        if (chunks_.size() == kMaxChunks || !grow(chunks_) || !charge(size))
            return nullptr;
        char *chunk = new (std::nothrow) char[size];
        if (!chunk) {
            fault_ = NIMBUS_E_NOMEM;
            return nullptr;
        }
        chunks_.emplace_back(chunk);
        last_size_ = size;
        last_used_ = 0;
    }
    *ref = static_cast<uint32_t>((chunks_.size() - 1) << 16 | last_used_);
    char *p = chunks_.back().get() + last_used_;
    last_used_ += n;
    return p;
}

bool folder_listing::add(const nimbus_entry &e) {
    if (at_.size() == UINT32_MAX) {
        fault_ = NIMBUS_E_NOMEM;
        return false;
    }
    std::string_view name = text_of(e.name), id = text_of(e.id), mime = text_of(e.mime_type);
    std::string_view title = text_of(e.title), artist = text_of(e.artist), album = text_of(e.album);
    unsigned char flags = (e.folder ? kFolder : 0) | kind_bits(e.media_type);
    if (!mime.empty())
        flags |= kMime;
    if (!title.empty() || !artist.empty() || !album.empty() || e.track || e.year || e.width ||
        e.height || e.duration_ms || e.bitrate_kbps || e.audio_channels)
        flags |= kMedia;
    size_t n = 1 + varint_size(zigzag(e.size)) + varint_size(zigzag(e.mtime_ms)) + text_size(name) +
               text_size(id);
    if (flags & kMime)
        n += text_size(mime);
    if (flags & kMedia)
        n += text_size(title) + text_size(artist) + text_size(album) +
             varint_size(zigzag(e.track)) + varint_size(zigzag(e.year)) +
             varint_size(zigzag(e.width)) + varint_size(zigzag(e.height)) +
             varint_size(zigzag(e.duration_ms)) + varint_size(zigzag(e.bitrate_kbps)) +
             varint_size(zigzag(e.audio_channels));
    uint32_t ref = 0;
    if (!grow(at_))
        return false;
    char *p = room(n, &ref);
    if (!p)
        return false;
    *p++ = static_cast<char>(flags);
    p = put_varint(p, zigzag(e.size));
    p = put_varint(p, zigzag(e.mtime_ms));
    p = put_text(p, name);
    p = put_text(p, id);
    if (flags & kMime)
        p = put_text(p, mime);
    if (flags & kMedia) {
        p = put_text(p, title);
        p = put_text(p, artist);
        p = put_text(p, album);
        for (int64_t v : {int64_t{e.track}, int64_t{e.year}, int64_t{e.width}, int64_t{e.height},
                          e.duration_ms, int64_t{e.bitrate_kbps}, int64_t{e.audio_channels}})
            p = put_varint(p, zigzag(v));
    }
    at_.push_back(ref); // capacity was made by grow()
    return true;
}

folder_row folder_listing::row(size_t i) const {
    folder_row r;
    uint32_t ref = at_[i];
    const char *p = chunks_[ref >> 16].get() + (ref & 0xffff);
    auto flags = static_cast<unsigned char>(*p++);
    uint64_t v = 0;
    r.folder = flags & kFolder;
    r.media_type = kKinds[(flags & kKindMask) >> kKindShift];
    p = get_varint(p, &v);
    r.size = unzigzag(v);
    p = get_varint(p, &v);
    r.mtime_ms = unzigzag(v);
    p = get_text(p, &r.name);
    p = get_text(p, &r.id);
    if (flags & kMime)
        p = get_text(p, &r.mime);
    if (flags & kMedia) {
        p = get_text(p, &r.title);
        p = get_text(p, &r.artist);
        p = get_text(p, &r.album);
        r.track = get_int32(&p);
        r.year = get_int32(&p);
        r.width = get_int32(&p);
        r.height = get_int32(&p);
        p = get_varint(p, &v);
        r.duration_ms = unzigzag(v);
        r.bitrate_kbps = get_int32(&p);
        r.audio_channels = get_int32(&p);
    }
    return r;
}

bool folder_listing::finish(name_order before) {
    // The last chunk keeps only what it holds: a small folder costs its
    // texts, not a whole chunk.
    if (!chunks_.empty() && last_used_ < last_size_ && last_used_ > 0) {
        char *trimmed = new (std::nothrow) char[last_used_];
        if (trimmed) {
            std::memcpy(trimmed, chunks_.back().get(), last_used_);
            chunks_.back().reset(trimmed);
            if (budget_)
                budget_->give(last_size_ - last_used_);
            charged_ -= last_size_ - last_used_;
            last_size_ = last_used_;
        }
    }
    if (!charge(at_.size() * sizeof(uint32_t)))
        return false;
    if (budget_) { // it takes nothing more
        budget_->leave(ticket_);
        ticket_ = listing_budget::kNoTicket;
    }
    try {
        order_.resize(at_.size());
    } catch (...) {
        fault_ = NIMBUS_E_NOMEM;
        return false;
    }
    for (size_t i = 0; i < order_.size(); i++)
        order_[i] = static_cast<uint32_t>(i);
    // Folders first, then by name: a row's flags and name are its first bytes.
    std::sort(order_.begin(), order_.end(), [this, before](uint32_t a, uint32_t b) {
        folder_row x = row(a), y = row(b);
        if (x.folder != y.folder)
            return x.folder;
        return before(x.name, y.name);
    });
    return true;
}

} // namespace cli
