// The gateway's state, shared by the pool threads that answer requests,
// the change-feed thread and the MediaServer: the drive handle, the secret,
// the caches and the listings under way.
#ifndef NIMBUS_TOOLS_SERVE_GATEWAY_H
#define NIMBUS_TOOLS_SERVE_GATEWAY_H

#include "context.h"
#include "serve/cache.h"
#include "serve/capability.h"
#include "serve/cover_fetch.h"
#include "serve/covers.h"
#include "serve/listing.h"
#include "serve/locators.h"
#include "serve/proxy.h"
#include "serve/signin.h"
#include "slow_clients.h"
#include "work_queue.h"

#include <nimbus.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace cli {

// Listed folders are served again for this long without asking the service.
constexpr auto kFolderLife = std::chrono::minutes(2);

// A request line and its headers must arrive within this time of the accept
// (or of the answer before, on a kept-alive connection), however slowly
// they trickle in: libmicrohttpd's own timeout restarts with every byte.
constexpr auto kHeaderDeadline = std::chrono::seconds(10);
// At most this many connections may be waiting for their request line and
// headers, per client address (an IPv6 /64) and in all. A kept-alive
// connection between two requests waits too: the bounds leave room for a
// player or a load of 50 kept-alive connections from one address, which 16
// and 64 cut down to reconnecting at every request (a tenth of the
// throughput).
constexpr size_t kWaitingPerAddress = 64;
constexpr size_t kWaitingTotal = 128;

// The listings' budget in bytes (folders.cpp) and the change feed's period
// (feed.cpp), each of which tests may shrink through the environment.
size_t listing_bytes();
std::chrono::steady_clock::duration feed_interval();

// A listing under way, and then its outcome, for every request that asked
// for its folder meanwhile.
struct listing_round {
    bool done = false;
    int rc = NIMBUS_OK;
    std::shared_ptr<const folder_listing> listing;
};

struct gateway {
    using clock_type = std::chrono::steady_clock;

    gateway(const options &o, const std::string &secret)
        : ctx(o), opts(o), token(secret), caps(secret), budget(listing_bytes()),
          folders(budget.max(), kFolderLife), covers(cover_limits(budget.max())),
          feed_every(feed_interval()), watch({kHeaderDeadline, kWaitingPerAddress, kWaitingTotal}),
          streams(o.cacert, o.connect_to),
          // A stored sign-in has the settings read at once: the main
          // thread waits for SIGHUP.
          signin(o, [] { kill(getpid(), SIGHUP); }) {
        budget.on_short([this](size_t n) { return folders.give_way(n); });
        covers.share_budget([this](size_t n) { return budget.take(n); },
                            [this](size_t n) { budget.give(n); });
    }
    context ctx;         // the drive handle the pool threads share (none while signed
                         // out at start), and its settings file
    const options &opts; // outlives the gateway, as ctx's
    std::string token;   // empty: no credential asked
    capability_key caps; // the URLs handed to players: one file each, never the token
    bool loopback = true;
    std::atomic<uint16_t> port{0}; // known once the daemon listens (the port may be 0)
    locator_cache locators;
    listing_budget budget; // before folders: kept listings give their bytes back to it
    folder_cache folders;
    cover_cache covers; // album art and posters (?cover=), their bytes inside the budget
    // Folders being listed right now: a second request for one waits for
    // that listing and takes its outcome instead of asking the service again.
    std::mutex listing_lock;
    std::condition_variable listing_done;
    std::unordered_map<std::string, std::shared_ptr<listing_round>> listing_now;
    // The change feed that keeps the kept folders current: one caller asks
    // it at a time (visits do not wait), at most once per feed_every.
    std::mutex feed_lock;
    std::condition_variable feed_wake; // feed_loop's pause between checks
    std::string feed_cursor;           // "" until the first answer, and after a refused cursor
    bool feed_asked = false;
    bool feed_off = false; // the drive has no feed for the configured root
    clock_type::time_point feed_last{};
    const clock_type::duration feed_every;
    // Ends feed_loop; set only just before the join, so that a stop cut
    // short by a second signal finds the thread still running.
    std::atomic<bool> feed_stop{false};
    // Set once feed_loop's first request has its answer (or failed): the
    // listener waits a moment for it (serve.cpp).
    std::atomic<bool> feed_first_done{false};
    // What the feed says before the "serving" line, which comes first:
    // held until feed_listening, then printed by feed_say_held (feed.h).
    std::mutex feed_say_lock;
    bool feed_listening = false;
    std::string feed_held;
    // The MediaServer's SystemUpdateID: one step for each feed answer that
    // changed something. It starts at the clock's seconds, so that it keeps
    // growing across restarts (the feed moves it far slower than a second).
    std::atomic<uint32_t> update_id{static_cast<uint32_t>(std::time(nullptr))};
    // Set (under feed_lock) while the MediaServer runs: the feed is then
    // asked every feed_every without waiting for a visit, and each change is
    // told to it with the folders it touched ("/" for the root).
    std::function<void(const std::vector<std::string> &)> on_change;
    slow_client_guard watch;
    proxy streams; // files sent through the gateway (?stream=1)
    // Where a GET or HEAD that may wait on the service is answered
    // (serve.cpp). Its queue holds one request for each connection the
    // daemon takes, so none is turned away.
    work_queue workers{256};
    std::atomic<int> in_flight{0};
    std::atomic<bool> stopping{false};
    // The identity platform refused the refresh token, or there was none at
    // start: error pages link the sign-in page, and a new token in the
    // settings file is taken at once (reload.h).
    std::atomic<bool> signed_out{false};
    browser_signin signin; // the sign-in page's flow
};

} // namespace cli

#endif
