// One drive handle shared by 16 threads that list and look up items at once:
// they share one access token, so a start and a refused token each cost
// exactly one refresh grant between them, and every rotated refresh token
// reaches the host once. Meant to run under ThreadSanitizer too.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nimbus.h"
#include "ops/fake_fixture.h"
#include "text/text.h"

namespace {

constexpr int kThreads = 16;
constexpr int kRounds = 20;

// A thread-safe service: Graph accepts only the newest access token; the
// token endpoint rotates the refresh token at every grant and takes a while
// to answer, so that the threads pile up behind a grant.
struct service {
    std::mutex mu;
    std::string valid = "none";
    int grants = 0;
    std::atomic<int> gets{0};
    std::atomic<int> refused{0};
};

char *copy(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

int svc_get(void *ctx, const char *url, char **body, int32_t *status, char **) {
    auto *svc = static_cast<service *>(ctx);
    svc->gets++;
    const char *marker = std::strstr(url, NIMBUS_BEARER_MARKER);
    std::string token = marker ? marker + std::strlen(NIMBUS_BEARER_MARKER) : "";
    std::string target(url, marker ? static_cast<size_t>(marker - url) : std::strlen(url));
    {
        std::lock_guard<std::mutex> lock(svc->mu);
        if (token != svc->valid) {
            svc->refused++;
            *status = 401;
            *body = copy("{\"error\":{\"code\":\"InvalidAuthenticationToken\"}}");
            return 0;
        }
    }
    const std::string graph = nimbus_graph_base();
    *status = 200;
    if (target == fx::handle_page(graph + "/me/drive/root:/Music:/children")) {
        *body = copy("{\"value\":[{\"id\":\"A\",\"name\":\"a.mp3\",\"size\":1},"
                     "{\"id\":\"B\",\"name\":\"b.mp3\",\"size\":2}],\"@odata.nextLink\":\"" +
                     graph + "/me/drive/root:/Music:/children?$skiptoken=2\"}");
    } else if (target == graph + "/me/drive/root:/Music:/children?$skiptoken=2") {
        *body = copy("{\"value\":[{\"id\":\"B\",\"name\":\"b.mp3\"},{\"id\":\"C\",\"name\":\"c\","
                     "\"folder\":{}}]}");
    } else if (target == fx::lookup(graph + "/me/drive/items/A")) {
        *body = copy("{\"id\":\"A\",\"name\":\"a.mp3\",\"size\":1,\"audio\":{\"track\":7}}");
    } else {
        *status = 404;
        *body = copy("");
    }
    return 0;
}

int svc_post(void *ctx, const char *, const char *form, const char *, char **body, int32_t *status,
             char **) {
    auto *svc = static_cast<service *>(ctx);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::lock_guard<std::mutex> lock(svc->mu);
    int n = ++svc->grants;
    // Each grant must present the token the previous one rotated.
    std::string want =
        "refresh_token=" + std::string(n == 1 ? "rt-0" : "rt-" + std::to_string(n - 1));
    if (std::strstr(form, want.c_str()) == nullptr) {
        *status = 400;
        *body = copy("{\"error\":\"invalid_grant\"}");
        return 0;
    }
    svc->valid = "at-" + std::to_string(n);
    *status = 200;
    *body = copy("{\"access_token\":\"at-" + std::to_string(n) + "\",\"refresh_token\":\"rt-" +
                 std::to_string(n) + "\",\"expires_in\":3600}");
    return 0;
}

struct rotations {
    std::mutex mu;
    std::vector<std::string> tokens;
};

void on_token(void *ctx, const char *token) {
    auto *r = static_cast<rotations *>(ctx);
    std::lock_guard<std::mutex> lock(r->mu);
    r->tokens.emplace_back(token);
}

int count(void *ctx, const nimbus_entry *e) {
    auto *n = static_cast<int *>(ctx);
    *n += (e->name && e->id) ? 1 : 0;
    return 0;
}

int track_of(void *ctx, const nimbus_entry *e) {
    *static_cast<int *>(ctx) = e->track;
    return 0;
}

// Starts kThreads threads together; each makes kRounds calls alternating
// lists and lookups and counts its wrong answers.
int storm(nimbus_drive *drive) {
    std::mutex mu;
    std::condition_variable cv;
    bool go = false;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return go; });
            }
            for (int r = 0; r < kRounds; r++) {
                if ((r + t) % 2 == 0) {
                    int n = 0;
                    if (nimbus_drive_list(drive, "/Music", count, &n) != NIMBUS_OK || n != 3)
                        bad++;
                } else {
                    int track = 0;
                    if (nimbus_drive_item(drive, "A", track_of, &track) != NIMBUS_OK || track != 7)
                        bad++;
                }
                if (nimbus_last_error()[0] != '\0')
                    bad++;
            }
        });
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        go = true;
    }
    cv.notify_all();
    for (auto &th : threads)
        th.join();
    return bad;
}

TEST(DriveThreads, SixteenThreadsShareOneTokenAndOneGrant) {
    service svc;
    rotations rot;
    nimbus_io io{&svc, svc_get, svc_post, nullptr};
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open("{\"ClientId\":\"c\",\"ClientSecret\":\"s\","
                                           "\"refresh_token\":\"rt-0\"}",
                                           &io, &drive));
    nimbus_drive_on_token(drive, on_token, &rot);

    // All start without a token: one grant between them.
    EXPECT_EQ(0, storm(drive));
    EXPECT_EQ(1, svc.grants);
    EXPECT_EQ(0, svc.refused.load());

    // The service drops the token: every thread meets a 401, one grant
    // answers them all, each thread retries once.
    {
        std::lock_guard<std::mutex> lock(svc.mu);
        svc.valid = "revoked";
    }
    EXPECT_EQ(0, storm(drive));
    EXPECT_EQ(2, svc.grants);
    EXPECT_GE(svc.refused.load(), 1);
    EXPECT_LE(svc.refused.load(), kThreads);
    EXPECT_EQ((std::vector<std::string>{"rt-1", "rt-2"}), rot.tokens);
    nimbus_drive_close(drive);
}

} // namespace
