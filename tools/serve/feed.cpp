// The change feed (see feed.h): the first cursor, the changes since the
// last answer, and what they make the gateway forget.
#include "serve/feed.h"

#include "knobs.h"
#include "output.h"
#include "serve/cover_fetch.h"
#include "serve/media.h"

#include <nimbus.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace cli {

namespace {

using clock_type = std::chrono::steady_clock;

// At most one change-feed request per this time (tests shorten it through
// NIMBUS_SERVE_DELTA_SECONDS).
constexpr auto kFeedEvery = std::chrono::seconds(30);
// A feed answer with more changes than this forgets every kept folder
// instead of keeping the changes in memory.
constexpr size_t kFeedChanges = 10000;

} // namespace

std::chrono::steady_clock::duration feed_interval() {
    return knob_seconds("NIMBUS_SERVE_DELTA_SECONDS", kFeedEvery);
}

namespace {

// What one change-feed answer says about the kept folders.
struct feed_changes {
    std::unordered_set<std::string> folders;  // parents named by the changes' paths
    std::unordered_set<std::string> ids;      // every changed or deleted entry
    std::unordered_set<std::string> unplaced; // changed entries the answer gave no path for
    bool all = false;                         // too many, or memory ran out: forget all
};

int note_change(void *ctx, const nimbus_entry *e) {
    auto &c = *static_cast<feed_changes *>(ctx);
    if (c.all)
        return 0;
    try {
        if (c.ids.size() >= kFeedChanges || !e->id) {
            c.all = true;
            return 0;
        }
        c.ids.insert(e->id);
        if (e->path) {
            std::string parent = e->path;
            parent.resize(parent.rfind('/'));
            c.folders.insert(parent);
        } else if (!e->deleted) {
            c.unplaced.insert(e->id);
        }
    } catch (...) {
        c.all = true;
    }
    return 0;
}

int skip_change(void *, const nimbus_entry *) {
    return 0;
}

void tell_change(gateway &g, const std::unordered_set<std::string> *folders);

// A line about the feed on stderr, or held until the gateway listens.
void say(gateway &g, const char *text) {
    std::string line = "nimbus: serve: change feed: " + printable(text) + "\n";
    std::lock_guard<std::mutex> hold(g.feed_say_lock);
    if (g.feed_listening)
        std::fputs(line.c_str(), stderr);
    else
        g.feed_held += line;
}

// Asks the change feed what changed since the last answer and forgets the
// kept folders it touched; the first asks only for the cursor of the
// present, without the drive's whole feed. The caller holds feed_lock and
// found the request due.
void ask_feed(gateway &g) {
    clock_type::time_point now = clock_type::now();
    g.feed_asked = true;
    g.feed_last = now;
    bool first = g.feed_cursor.empty();
    feed_changes c;
    char *next = nullptr;
    int rc = nimbus_drive_changes(g.ctx.drive(), "",
                                  first ? NIMBUS_CURSOR_LATEST : g.feed_cursor.c_str(),
                                  first ? skip_change : note_change, &c, &next);
    std::unique_ptr<char, decltype(&std::free)> next_cursor(next, std::free);
    if (rc == NIMBUS_E_RESYNC || rc == NIMBUS_E_UNSUPPORTED) {
        // Without a feed the kept folders go after their lifetime only.
        g.feed_cursor.clear();
        g.feed_off = rc == NIMBUS_E_UNSUPPORTED;
        g.folders.forget_all();
        tell_change(g, nullptr);
        say(g, nimbus_last_error());
        return;
    }
    if (rc == NIMBUS_E_SIGNIN)
        g.signed_out = true;
    if (rc != NIMBUS_OK || !next_cursor) {
        say(g, nimbus_last_error());
        return; // the cursor stays; the next visit after feed_every asks again
    }
    try {
        g.feed_cursor = next_cursor.get();
        if (first) {
            g.folders.forget_older(now); // listed before the cursor: their changes are unknown
            return;
        }
        if (c.all) {
            g.folders.forget_all();
            tell_change(g, nullptr);
            return;
        }
        if (c.ids.empty())
            return;
        tell_change(g, &c.folders);
        for (const std::string &folder : c.folders)
            g.folders.forget(folder);
        std::unordered_set<std::string> missing = g.folders.forget_listing(c.ids);
        for (const std::string &id : c.unplaced)
            if (missing.count(id)) {
                g.folders.forget_all(); // a new entry whose folder the answer does not tell
                forget_covers(g, nullptr);
                return;
            }
    } catch (...) {
        g.feed_cursor.clear();
        g.folders.forget_all();
        tell_change(g, nullptr);
    }
}

// A step of the update id, told to the MediaServer with the folders that
// changed (null: unknown ones), whose covers go too. The caller holds
// feed_lock.
void tell_change(gateway &g, const std::unordered_set<std::string> *folders) {
    forget_covers(g, folders);
    g.update_id++;
    if (!g.on_change)
        return;
    std::vector<std::string> named;
    try {
        if (folders && folders->size() <= media_evented_folders())
            for (const std::string &f : *folders)
                named.push_back(f.empty() ? "/" : f);
    } catch (...) {
        named.clear();
    }
    g.on_change(named);
}

bool feed_due(const gateway &g) {
    return !g.feed_off && (!g.feed_asked || clock_type::now() - g.feed_last >= g.feed_every);
}

} // namespace

// A visit asks the feed on its own thread when the last request is
// feed_every old; a visit while another asks goes on at once. The first
// cursor is taken by feed_loop, so that no visit waits for it.
void keep_current(gateway &g) {
    std::unique_lock<std::mutex> hold(g.feed_lock, std::try_to_lock);
    if (hold.owns_lock() && !g.feed_cursor.empty() && feed_due(g))
        ask_feed(g);
}

bool feed_would_ask(gateway &g) {
    std::unique_lock<std::mutex> hold(g.feed_lock, std::try_to_lock);
    return hold.owns_lock() && !g.feed_cursor.empty() && feed_due(g);
}

void feed_say_held(gateway &g) {
    std::lock_guard<std::mutex> hold(g.feed_say_lock);
    g.feed_listening = true;
    std::fputs(g.feed_held.c_str(), stderr);
    std::fflush(stderr);
    g.feed_held.clear();
}

// serve's feed thread: takes the first cursor at start, and again after the
// service refused one (or a request for it failed, then feed_every later).
// While the MediaServer runs it asks every feed_every: control points learn
// of changes by events, not by visiting.
void feed_loop(gateway &g) {
    std::unique_lock<std::mutex> hold(g.feed_lock);
    while (!g.feed_stop) {
        if (!g.stopping && (g.feed_cursor.empty() || g.on_change) && feed_due(g))
            ask_feed(g);
        g.feed_first_done = true;
        g.feed_wake.wait_for(hold, std::chrono::milliseconds(200));
    }
}

} // namespace cli
