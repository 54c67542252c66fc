// The token cache: slots, keys, eviction, expiry margin and hand-out.
#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "auth/token_server.h"

namespace {

struct view {
    bool occupied = false;
    std::string client_id, client_secret, scope, key_refresh, access, refresh;
    int64_t expires_at = 0;
    uint32_t tick = 0;
};

std::string str(const char *s) {
    return s ? s : "<null>";
}

// The refresh token cached for the key, or "<null>".
std::string refresh_of(const nimbus_cfg *cfg, const char *scope) {
    nimbus_str copy(nimbus_cache_refresh_of(cfg, scope));
    return copy ? copy.get() : "<null>";
}

view slot(int i) {
    nimbus_cache_view v{};
    view out;
    out.occupied = nimbus_cache_debug_slot(i, &v) == 1;
    if (out.occupied) {
        out.client_id = str(v.client_id);
        out.client_secret = str(v.client_secret);
        out.scope = str(v.scope);
        out.key_refresh = str(v.key_refresh);
        out.access = str(v.access_token);
        out.refresh = str(v.refresh_token);
        out.expires_at = v.expires_at;
        out.tick = v.tick;
    }
    nimbus_cache_view_free(&v);
    return out;
}

int occupied_count() {
    int n = 0;
    for (int i = 0; i < 16; i++)
        n += slot(i).occupied;
    return n;
}

void put(const nimbus_cfg *cfg, const char *scope, const char *access, const char *rotated,
         int64_t expires_in, int64_t now) {
    nimbus_token tok{};
    tok.access_token = access ? nimbus_strdup(access) : nullptr;
    tok.refresh_token = rotated ? nimbus_strdup(rotated) : nullptr;
    tok.expires_in = expires_in;
    nimbus_cache_put(cfg, scope, &tok, now);
    nimbus_token_free(&tok);
}

// The fresh access token of the key at time now, or "<none>".
std::string fresh(const nimbus_cfg *cfg, const char *scope, int64_t now) {
    char *access = nullptr, *refresh = nullptr;
    int hit = nimbus_cache_fresh_access(cfg, scope, now, &access, &refresh);
    std::string out = hit ? str(access) + "|" + str(refresh) : "<none>";
    std::free(access);
    std::free(refresh);
    return out;
}

constexpr int64_t NOW = 1700000000;

class TokenCache : public ::testing::Test {
  protected:
    void SetUp() override { nimbus_cache_clear(); }
    void TearDown() override { nimbus_cache_clear(); }
};

} // namespace

TEST_F(TokenCache, SixteenSlotsAndLeastRecentlyUsedEviction) {
    std::vector<test_cfg> keys(18);
    for (size_t i = 0; i < keys.size(); i++)
        keys[i].client_id = "client-" + std::to_string(i);

    uint32_t t0 = nimbus_cache_debug_tick();
    for (int i = 0; i < 16; i++)
        put(keys[i].get(), nullptr, ("at" + std::to_string(i)).c_str(), nullptr, 3600, NOW);
    for (int i = 0; i < 16; i++) {
        view v = slot(i);
        ASSERT_TRUE(v.occupied) << i;
        EXPECT_EQ(v.client_id, "client-" + std::to_string(i));
        EXPECT_EQ(v.access, "at" + std::to_string(i));
        EXPECT_EQ(v.tick, t0 + 1 + i);
    }
    EXPECT_FALSE(slot(16).occupied); // out of range

    // The 17th key takes the slot with the smallest tick: slot 0.
    put(keys[16].get(), nullptr, "at16", nullptr, 3600, NOW);
    EXPECT_EQ(slot(0).client_id, "client-16");
    EXPECT_EQ(slot(0).tick, t0 + 17);
    EXPECT_EQ(occupied_count(), 16);

    // A use of slot 1's access token and a new store for slot 2 move both to
    // the back; the 18th key then replaces slot 3.
    EXPECT_EQ(fresh(keys[1].get(), nullptr, NOW), "at1|A~0");
    EXPECT_EQ(slot(1).tick, t0 + 18);
    put(keys[2].get(), nullptr, "at2b", nullptr, 3600, NOW);
    EXPECT_EQ(slot(2).tick, t0 + 19);
    put(keys[17].get(), nullptr, "at17", nullptr, 3600, NOW);
    EXPECT_EQ(slot(1).client_id, "client-1");
    EXPECT_EQ(slot(2).client_id, "client-2");
    EXPECT_EQ(slot(3).client_id, "client-17");
    EXPECT_EQ(nimbus_cache_debug_tick(), t0 + 20);

    // A probe that finds nothing fresh marks nothing.
    EXPECT_EQ(fresh(keys[4].get(), nullptr, NOW + 7200), "<none>");
    EXPECT_EQ(nimbus_cache_debug_tick(), t0 + 20);
}

TEST_F(TokenCache, SixtySecondMargin) {
    test_cfg k;
    put(k.get(), nullptr, "at", nullptr, 60, NOW);
    put(k.get(), nullptr, "at", nullptr, 0, NOW);
    put(k.get(), nullptr, "at", nullptr, -30, NOW);
    put(k.get(), nullptr, "at", nullptr, INT64_MAX, NOW);
    put(k.get(), nullptr, "at", nullptr, INT64_MAX - NOW + 1, NOW);
    put(k.get(), nullptr, "at", nullptr, INT64_MIN, NOW);
    EXPECT_EQ(occupied_count(), 0);

    put(k.get(), nullptr, "at61", "A~1", 61, NOW);
    view v = slot(0);
    ASSERT_TRUE(v.occupied);
    EXPECT_EQ(v.expires_at, NOW + 1);
    EXPECT_EQ(fresh(k.get(), nullptr, NOW), "at61|A~1");
    EXPECT_EQ(fresh(k.get(), nullptr, NOW + 1), "<none>");

    // A later short-lived answer leaves the cached entry as it was.
    put(k.get(), nullptr, "short", nullptr, 60, NOW);
    EXPECT_EQ(slot(0).access, "at61");

    // An answer without an access token is not stored either.
    test_cfg other;
    other.client_id = "client-2";
    put(other.get(), nullptr, nullptr, "B~1", 3600, NOW);
    EXPECT_EQ(occupied_count(), 1);

    // The longest lifetime that stays inside the clock's range is cached.
    put(other.get(), nullptr, "long", nullptr, INT64_MAX - NOW, NOW);
    EXPECT_EQ(slot(1).expires_at, INT64_MAX - 60);
}

TEST_F(TokenCache, StoreForAKeyReplacesItsSlotInPlace) {
    test_cfg k;
    put(k.get(), nullptr, "at1", nullptr, 3600, NOW);
    view first = slot(0);
    put(k.get(), nullptr, "at2", nullptr, 100, NOW + 10);
    view second = slot(0);
    EXPECT_EQ(second.access, "at2");
    EXPECT_EQ(second.expires_at, NOW + 10 + 100 - 60);
    EXPECT_EQ(second.tick, first.tick + 1);
    EXPECT_EQ(second.client_id, "client-1");
    EXPECT_EQ(second.client_secret, "secret-1");
    EXPECT_EQ(second.scope, NIMBUS_DEFAULT_SCOPE);
    EXPECT_EQ(second.key_refresh, "A~0");
    EXPECT_EQ(occupied_count(), 1);
}

TEST_F(TokenCache, RotatedRefreshTokenSticksWithinItsKey) {
    test_cfg k;
    // No slot of the key yet: the configured refresh token is kept.
    put(k.get(), nullptr, "at0", nullptr, 3600, NOW);
    EXPECT_EQ(slot(0).refresh, "A~0");
    put(k.get(), nullptr, "at1", "A~1", 3600, NOW);
    EXPECT_EQ(slot(0).refresh, "A~1");
    put(k.get(), nullptr, "at2", nullptr, 3600, NOW);
    EXPECT_EQ(slot(0).refresh, "A~1");
    EXPECT_EQ(slot(0).access, "at2");
    put(k.get(), nullptr, "at3", "A~2", 3600, NOW);
    EXPECT_EQ(slot(0).refresh, "A~2");

    // Settings that name another refresh token are another key: they get a
    // slot of their own with their own refresh token and never the rotated one.
    test_cfg other = k;
    other.refresh = "A~9";
    put(other.get(), nullptr, "at9", nullptr, 3600, NOW);
    EXPECT_EQ(slot(1).key_refresh, "A~9");
    EXPECT_EQ(slot(1).refresh, "A~9");
    EXPECT_EQ(slot(1).access, "at9");
    EXPECT_EQ(slot(0).refresh, "A~2");
    EXPECT_EQ(slot(0).access, "at3");
    EXPECT_EQ(fresh(k.get(), nullptr, NOW), "at3|A~2");
    EXPECT_EQ(fresh(other.get(), nullptr, NOW), "at9|A~9");
}

TEST_F(TokenCache, KeyComponents) {
    test_cfg k;
    k.has_scope = true;
    // An absent, an empty and the default scope are one key.
    put(k.get(), nullptr, "at-null", nullptr, 3600, NOW);
    k.scope = "";
    put(k.get(), "", "at-empty", nullptr, 3600, NOW);
    put(k.get(), NIMBUS_DEFAULT_SCOPE, "at-default", nullptr, 3600, NOW);
    EXPECT_EQ(occupied_count(), 1);
    EXPECT_EQ(slot(0).access, "at-default");
    EXPECT_EQ(slot(0).scope, NIMBUS_DEFAULT_SCOPE);

    put(k.get(), "Files.Read", "at-scope", nullptr, 3600, NOW);
    EXPECT_EQ(slot(1).scope, "Files.Read");

    test_cfg id = k, secret = k, refresh = k, none = k, blank = k;
    id.client_id = "client-2";
    secret.client_secret = "secret-2";
    refresh.refresh = "B~0";
    none.has_refresh = false;
    blank.refresh = "";
    put(id.get(), nullptr, "at-id", nullptr, 3600, NOW);
    put(secret.get(), nullptr, "at-secret", nullptr, 3600, NOW);
    put(refresh.get(), nullptr, "at-refresh", nullptr, 3600, NOW);
    put(none.get(), nullptr, "at-none", nullptr, 3600, NOW);
    EXPECT_EQ(occupied_count(), 6);
    EXPECT_EQ(slot(5).key_refresh, "");
    EXPECT_EQ(slot(5).refresh, "<null>");
    // A null configured refresh token compares as the empty one.
    put(blank.get(), nullptr, "at-blank", nullptr, 3600, NOW);
    EXPECT_EQ(occupied_count(), 6);
    EXPECT_EQ(slot(5).access, "at-blank");

    EXPECT_EQ(fresh(k.get(), nullptr, NOW), "at-default|A~0");
    EXPECT_EQ(fresh(k.get(), "Files.Read", NOW), "at-scope|A~0");
    EXPECT_EQ(fresh(id.get(), nullptr, NOW), "at-id|A~0");
    EXPECT_EQ(fresh(secret.get(), nullptr, NOW), "at-secret|A~0");
    EXPECT_EQ(fresh(refresh.get(), nullptr, NOW), "at-refresh|B~0");
}

TEST_F(TokenCache, ClearEmptiesEverySlotButKeepsTheTick) {
    test_cfg a, b;
    b.client_id = "client-2";
    put(a.get(), nullptr, "at", "A~1", 3600, NOW);
    put(b.get(), nullptr, "bt", "B~1", 3600, NOW);
    EXPECT_EQ(refresh_of(a.get(), nullptr), "A~1");
    uint32_t tick = nimbus_cache_debug_tick();

    nimbus_cache_clear();
    EXPECT_EQ(occupied_count(), 0);
    EXPECT_EQ(nimbus_cache_debug_tick(), tick);
    EXPECT_EQ(refresh_of(a.get(), nullptr), "<null>");
    EXPECT_EQ(refresh_of(b.get(), nullptr), "<null>");
    EXPECT_EQ(fresh(a.get(), nullptr, NOW), "<none>");

    put(b.get(), nullptr, "bt", nullptr, 3600, NOW);
    EXPECT_EQ(slot(0).client_id, "client-2");
    EXPECT_EQ(slot(0).refresh, "A~0"); // the configured one: the rotation is forgotten
    EXPECT_EQ(slot(0).tick, tick + 1);
}

TEST_F(TokenCache, HandsOutOnlyTheRefreshTokenOfTheRequestsKey) {
    test_cfg a, b, c;
    b.refresh = "B~0"; // same application, another account
    c.client_id = "client-3";
    put(b.get(), nullptr, "bt", "B~1", 3600, NOW); // slot 0
    put(a.get(), nullptr, "at", "A~1", 3600, NOW); // slot 1

    EXPECT_EQ(refresh_of(a.get(), nullptr), "A~1");
    EXPECT_EQ(refresh_of(b.get(), NIMBUS_DEFAULT_SCOPE), "B~1");
    EXPECT_EQ(refresh_of(a.get(), ""), "A~1");
    EXPECT_EQ(refresh_of(c.get(), nullptr), "<null>");
    EXPECT_EQ(refresh_of(a.get(), "Files.Read"), "<null>");
    EXPECT_EQ(refresh_of(nullptr, nullptr), "<null>");

    // An expired access token still leaves its refresh token to hand out.
    put(c.get(), nullptr, "ct", "C~1", 3600, NOW - 100000);
    EXPECT_EQ(fresh(c.get(), nullptr, NOW), "<none>");
    EXPECT_EQ(refresh_of(c.get(), nullptr), "C~1");
}

// A store without a rotation keeps the refresh token cached for its key; it
// must read that token and store in one step, or a rotation stored by
// another thread in between is overwritten with the older token.
TEST_F(TokenCache, StoreWithoutRotationNeverUndoesAConcurrentRotation) {
    test_cfg first;
    put(first.get(), nullptr, "at", "A~0", 3600, NOW);
    std::atomic<bool> stop{false};
    std::vector<std::thread> plain;
    for (int t = 0; t < 2; t++)
        plain.emplace_back([&] {
            test_cfg c;
            while (!stop.load())
                put(c.get(), nullptr, "plain", nullptr, 3600, NOW);
        });
    test_cfg c;
    int undone = 0;
    for (int i = 1; i <= 500 && undone == 0; i++) {
        put(c.get(), nullptr, "rotated", ("A~" + std::to_string(i)).c_str(), 3600, NOW);
        // Room for a store that looked the token up before this rotation.
        for (int k = 0; k < 3; k++)
            std::this_thread::yield();
        char *now = nimbus_cache_refresh_of(c.get(), nullptr);
        if (!now || std::stoi(std::string(now).substr(2)) < i)
            undone = i;
        std::free(now);
    }
    stop = true;
    for (std::thread &t : plain)
        t.join();
    EXPECT_EQ(undone, 0) << "the rotation of round " << undone << " was undone";
}
