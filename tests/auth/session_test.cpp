// Sessions: cached access tokens, grants, rotation and concurrency.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "auth/token_server.h"

namespace {

struct opened {
    int rc;
    std::string msg, access, refresh;
    int may_refresh;
};

std::string str(const char *s) {
    return s ? s : "<null>";
}

opened open_close(token_server &srv, const nimbus_cfg *cfg) {
    nimbus_sess sess;
    std::memset(&sess, 0xA5, sizeof sess); // open sets every field
    char msg[NIMBUS_MSG_SIZE] = "";
    opened o;
    o.rc = nimbus_sess_open(&sess, &srv.io, cfg, msg, sizeof msg);
    EXPECT_EQ(sess.io, &srv.io);
    EXPECT_EQ(sess.cfg, cfg);
    o.msg = msg;
    o.access = str(sess.access_token);
    o.refresh = str(sess.refresh_token);
    o.may_refresh = sess.may_refresh;
    nimbus_sess_close(&sess);
    EXPECT_EQ(sess.io, nullptr);
    EXPECT_EQ(sess.cfg, nullptr);
    EXPECT_EQ(sess.access_token, nullptr);
    EXPECT_EQ(sess.refresh_token, nullptr);
    EXPECT_EQ(sess.may_refresh, 0);
    return o;
}

// Makes the key's cached access token stale, keeping its refresh token.
void expire(const nimbus_cfg *cfg, const char *scope) {
    nimbus_token tok{};
    tok.access_token = nimbus_strdup("stale");
    tok.expires_in = 100;
    nimbus_cache_put(cfg, scope, &tok, nimbus_now() - 1000);
    nimbus_token_free(&tok);
}

std::string cached_refresh(const nimbus_cfg *cfg) {
    nimbus_str copy(nimbus_cache_refresh_of(cfg, nimbus_scope_of(cfg)));
    return str(copy.get());
}

class Session : public ::testing::Test {
  protected:
    void SetUp() override { nimbus_cache_clear(); }
    void TearDown() override { nimbus_cache_clear(); }
};

} // namespace

TEST_F(Session, SecondOpenTakesTheCachedAccessToken) {
    token_server srv;
    srv.rotate = false;
    test_cfg c;
    opened first = open_close(srv, c.get());
    EXPECT_EQ(first.rc, NIMBUS_OK) << first.msg;
    EXPECT_EQ(first.access, "AT-A-1");
    EXPECT_EQ(first.refresh, "A~0");
    EXPECT_EQ(first.may_refresh, 0);
    EXPECT_EQ(srv.posts, 1);
    EXPECT_EQ(srv.last_refresh(), "A~0");

    opened second = open_close(srv, c.get());
    EXPECT_EQ(second.rc, NIMBUS_OK);
    EXPECT_EQ(second.access, "AT-A-1");
    EXPECT_EQ(second.refresh, "A~0");
    EXPECT_EQ(second.may_refresh, 1);
    EXPECT_EQ(srv.posts, 1);
    EXPECT_EQ(srv.gets, 0);

    // A lifetime of 60 seconds or less is never cached: every open grants.
    nimbus_cache_clear();
    srv.expires_in = 60;
    EXPECT_EQ(open_close(srv, c.get()).may_refresh, 0);
    EXPECT_EQ(open_close(srv, c.get()).may_refresh, 0);
    EXPECT_EQ(srv.posts, 3);
}

TEST_F(Session, ScopeSelectsTheSlot) {
    token_server srv;
    test_cfg absent, empty, other;
    empty.has_scope = true;
    other.has_scope = true;
    other.scope = "Files.Read offline_access";
    EXPECT_EQ(open_close(srv, absent.get()).may_refresh, 0);
    EXPECT_EQ(token_server::field(srv.last_body(), "scope"), "offline_access%20Files.Read.All");
    opened o = open_close(srv, empty.get());
    EXPECT_EQ(o.may_refresh, 1);
    EXPECT_EQ(o.access, "AT-A-1");
    EXPECT_EQ(srv.posts, 1);

    o = open_close(srv, other.get());
    EXPECT_EQ(o.may_refresh, 0);
    EXPECT_EQ(o.access, "AT-A-2");
    EXPECT_EQ(srv.posts, 2);
    EXPECT_EQ(token_server::field(srv.last_body(), "scope"), "Files.Read%20offline_access");
    EXPECT_EQ(open_close(srv, other.get()).access, "AT-A-2");
    EXPECT_EQ(open_close(srv, absent.get()).access, "AT-A-1");
    EXPECT_EQ(srv.posts, 2);
}

TEST_F(Session, StaleTokenGrantsWithTheRotatedRefreshToken) {
    token_server srv;
    test_cfg c;
    opened o = open_close(srv, c.get());
    EXPECT_EQ(srv.last_refresh(), "A~0");
    EXPECT_EQ(o.refresh, "A~1");
    EXPECT_EQ(cached_refresh(c.get()), "A~1");

    expire(c.get(), nullptr);
    o = open_close(srv, c.get());
    EXPECT_EQ(o.rc, NIMBUS_OK);
    EXPECT_EQ(srv.posts, 2);
    EXPECT_EQ(srv.last_refresh(), "A~1"); // the rotated one, not the configured one
    EXPECT_EQ(o.access, "AT-A-2");
    EXPECT_EQ(o.refresh, "A~2");
    EXPECT_EQ(o.may_refresh, 0);
    EXPECT_EQ(cached_refresh(c.get()), "A~2");

    // Without a new rotation the cache keeps the newest known token, and the
    // session gets the configured one beside its new access token.
    srv.rotate = false;
    expire(c.get(), nullptr);
    o = open_close(srv, c.get());
    EXPECT_EQ(srv.last_refresh(), "A~2");
    EXPECT_EQ(o.access, "AT-A-3");
    EXPECT_EQ(o.refresh, "A~0");
    EXPECT_EQ(cached_refresh(c.get()), "A~2");
    o = open_close(srv, c.get());
    EXPECT_EQ(o.may_refresh, 1);
    EXPECT_EQ(o.refresh, "A~2");
    EXPECT_EQ(srv.posts, 3);

    // After the cache is forgotten the configured refresh token is presented.
    nimbus_cache_clear();
    open_close(srv, c.get());
    EXPECT_EQ(srv.last_refresh(), "A~0");
    EXPECT_EQ(srv.posts, 4);
}

TEST_F(Session, AccountsSharingAnApplicationStayApart) {
    token_server srv;
    test_cfg a, b;
    b.refresh = "B~0";

    opened oa = open_close(srv, a.get());
    opened ob = open_close(srv, b.get());
    EXPECT_EQ(srv.posts, 2);
    EXPECT_EQ(oa.access, "AT-A-1");
    EXPECT_EQ(oa.refresh, "A~1");
    EXPECT_EQ(ob.access, "AT-B-2");
    EXPECT_EQ(ob.refresh, "B~1");

    for (int round = 0; round < 2; round++) {
        oa = open_close(srv, a.get());
        ob = open_close(srv, b.get());
        EXPECT_EQ(oa.access, "AT-A-1");
        EXPECT_EQ(oa.refresh, "A~1");
        EXPECT_EQ(oa.may_refresh, 1);
        EXPECT_EQ(ob.access, "AT-B-2");
        EXPECT_EQ(ob.refresh, "B~1");
        EXPECT_EQ(ob.may_refresh, 1);
    }
    EXPECT_EQ(srv.posts, 2);
    EXPECT_EQ(cached_refresh(a.get()), "A~1");
    EXPECT_EQ(cached_refresh(b.get()), "B~1");

    // When both must grant again each presents its own rotated token.
    expire(a.get(), nullptr);
    expire(b.get(), nullptr);
    ob = open_close(srv, b.get());
    EXPECT_EQ(srv.last_refresh(), "B~1");
    EXPECT_EQ(ob.access, "AT-B-3");
    oa = open_close(srv, a.get());
    EXPECT_EQ(srv.last_refresh(), "A~1");
    EXPECT_EQ(oa.access, "AT-A-4");
    EXPECT_EQ(cached_refresh(a.get()), "A~2");
    EXPECT_EQ(cached_refresh(b.get()), "B~2");
}

TEST_F(Session, FailedGrantLeavesTheCacheAndTheSessionEmpty) {
    token_server srv;
    test_cfg c;
    open_close(srv, c.get());
    expire(c.get(), nullptr);
    nimbus_cache_view before{};
    ASSERT_EQ(nimbus_cache_debug_slot(0, &before), 1);

    srv.scripted = true;
    srv.status = 400;
    srv.body = R"({"error":"invalid_grant","error_description":"AADSTS70008: expired"})";
    opened o = open_close(srv, c.get());
    EXPECT_EQ(o.rc, NIMBUS_E_AUTH);
    EXPECT_EQ(o.msg, "AADSTS70008: expired");
    EXPECT_EQ(o.access, "<null>");
    EXPECT_EQ(o.refresh, "<null>");
    EXPECT_EQ(o.may_refresh, 0);
    EXPECT_EQ(srv.last_refresh(), "A~1");

    nimbus_cache_view after{};
    ASSERT_EQ(nimbus_cache_debug_slot(0, &after), 1);
    EXPECT_STREQ(after.access_token, before.access_token);
    EXPECT_STREQ(after.refresh_token, before.refresh_token);
    EXPECT_EQ(after.expires_at, before.expires_at);
    EXPECT_EQ(after.tick, before.tick);
    nimbus_cache_view_free(&before);
    nimbus_cache_view_free(&after);
    EXPECT_EQ(nimbus_cache_debug_slot(1, &after), 0);

    // The transport failing leaves the session empty too.
    srv.scripted = false;
    srv.fail = true;
    o = open_close(srv, c.get());
    EXPECT_EQ(o.rc, NIMBUS_E_UNAVAILABLE);
    EXPECT_EQ(o.msg.rfind("POST ", 0), 0u) << o.msg;
    EXPECT_EQ(o.access, "<null>");

    // Closing is harmless on every state.
    nimbus_sess zeroed{};
    nimbus_sess_close(&zeroed);
    nimbus_sess_close(&zeroed);
    nimbus_sess_close(nullptr);
    char msg[NIMBUS_MSG_SIZE];
    nimbus_sess failed{};
    EXPECT_EQ(nimbus_sess_open(&failed, nullptr, c.get(), msg, sizeof msg), NIMBUS_E_UNAVAILABLE);
    EXPECT_STREQ(msg, "no transport");
    nimbus_sess_close(&failed);
    nimbus_sess_close(&failed);
}

TEST_F(Session, ConcurrentSessionsHoldTheirOwnKeysTokens) {
    constexpr int KEYS = 20, THREADS = 4, MIN_ROUNDS = 300;
    token_server srv;
    std::vector<test_cfg> keys(KEYS);
    std::vector<const nimbus_cfg *> cfgs;
    for (int i = 0; i < KEYS; i++) {
        keys[i].refresh = "K" + std::to_string(i) + "~0";
        if (i % 3 == 0)
            keys[i].client_id = "client-other";
        cfgs.push_back(keys[i].get());
    }

    std::atomic<int> wrong{0}, failed{0}, from_cache{0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    auto worker = [&](int t) {
        for (int round = 0; round < MIN_ROUNDS || std::chrono::steady_clock::now() < deadline;
             round++) {
            // Each thread cycles through all keys with its own stride, so the
            // 16 slots are evicted over and over.
            static const int stride[THREADS] = {1, 3, 7, 9};
            int k = (t * 5 + round * stride[t]) % KEYS;
            std::string account = "K" + std::to_string(k);
            nimbus_sess sess{};
            char msg[NIMBUS_MSG_SIZE];
            if (nimbus_sess_open(&sess, &srv.io, cfgs[k], msg, sizeof msg) != NIMBUS_OK) {
                failed++;
                continue;
            }
            from_cache += sess.may_refresh;
            if (str(sess.access_token).rfind("AT-" + account + "-", 0) != 0 ||
                str(sess.refresh_token).rfind(account + "~", 0) != 0)
                wrong++;
            nimbus_str cached(nimbus_cache_refresh_of(cfgs[k], nullptr));
            if (cached && std::string(cached.get()).rfind(account + "~", 0) != 0)
                wrong++;
            nimbus_sess_close(&sess);
            if (t == 0 && round % 97 == 96)
                nimbus_cache_clear();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back(worker, t);
    for (auto &th : threads)
        th.join();

    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_GT(srv.posts, KEYS); // evictions forced further grants
}
