// Races, meant for ThreadSanitizer: listings, stream locators and validations
// for more accounts than the token cache has slots, with tokens that expire
// one second after they are granted, while other threads wipe the token
// cache, switch the selected transport and rescript (and reset) the fake
// transport. Every answer must be a correct success or a well-formed failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nimbus.h"
#include "support/entry_tail.h"
#include "text/text.h"

namespace {

constexpr int kAccounts = 20; // more keys than the cache's 16 slots
constexpr int kWorkers = 4;
constexpr int kMinRounds = 60;
constexpr int kMaxRounds = 2000000;
// Long enough for tokens granted with expires_in 61 to go stale (one second).
constexpr auto kMinTime = std::chrono::milliseconds(2200);

std::string base() {
    return nimbus_graph_base();
}
std::string root_url() {
    return base() + "/me/drive/root/children?$top=200";
}
std::string next_url() {
    return base() + "/me/drive/root/children?$skiptoken=2";
}
std::string item_url() {
    return base() + "/me/drive/items/M1";
}

const char *const kTokenAnswer =
    R"({"token_type":"Bearer","access_token":"race-at-0001","refresh_token":"race-rot-0002",)"
    R"("expires_in":61})";
std::string page1() {
    return R"({"value":[{"id":"R1","name":"one.mp3","size":1},{"id":"R2","name":"two",)"
           R"("folder":{}}],"@odata.nextLink":")" +
           next_url() + "\"}";
}
const char *const kPage2 = R"({"value":[{"id":"R3","name":"three.mp3","size":3}]})";
const char *const kItem = R"({"id":"M1","name":"m.mp3","size":3,)"
                          R"("@microsoft.graph.downloadUrl":"https://dl.invalid/m?x=1"})";

std::string settings(int account) {
    char s[256];
    std::snprintf(s, sizeof s,
                  R"({"ClientId":"race-cid-%d","ClientSecret":"race-sec-%d",)"
                  R"("refresh_token":"race-rt-%04d","ID":"race-id"})",
                  account % 7, account % 3, account);
    return s;
}

std::string entry(const char *name, const char *path, bool folder, int size, const char *id) {
    char s[512];
    std::snprintf(s, sizeof s,
                  R"({"name":"%s","path":"%s","folder":%s,"kind":"%s","size":%d,"mtime_ms":0,)"
                  R"("id":"%s","backend_id":"%s","parent_id":"")" NIMBUS_ENTRY_TAIL,
                  name, path, folder ? "true" : "false", folder ? "dir" : "file", size, id, id);
    return s;
}

const std::string &expected_list() {
    static const std::string s = "{\"items\":[" + entry("one.mp3", "/one.mp3", false, 1, "R1") +
                                 "," + entry("two", "/two", true, -1, "R2") + "," +
                                 entry("three.mp3", "/three.mp3", false, 3, "R3") + "]}";
    return s;
}
const char *const kExpectedStream =
    R"({"url":"https://dl.invalid/m?x=1","id":"M1","name":"m.mp3","size":3,"range":true})";
const char *const kExpectedValidate =
    R"({"RuntimeType":"ONEDRIVE","refresh_token":"race-rot-0002"})";

// A stateless host transport with the same answers as the fake's script.
char *host_text(const std::string &s) {
    return strdup(s.c_str());
}

int host_get(void *, const char *url, char **body, int32_t *status, char **) {
    std::string u = url;
    size_t marker = u.find("#NIMBUS-BEARER:");
    if (marker == std::string::npos || u.substr(marker + 15) != "race-at-0001") {
        *status = 401;
        *body =
            host_text(R"({"error":{"code":"InvalidAuthenticationToken","message":"no token"}})");
        return 0;
    }
    u.resize(marker);
    *status = 200;
    if (u == root_url())
        *body = host_text(page1());
    else if (u == next_url())
        *body = host_text(kPage2);
    else if (u == item_url())
        *body = host_text(kItem);
    else {
        *status = 404;
        *body = host_text("");
    }
    return 0;
}

int host_post(void *, const char *url, const char *, const char *, char **answer, int32_t *status,
              char **) {
    bool token = std::string(url) == nimbus_token_url();
    *status = token ? 200 : 404;
    *answer = host_text(token ? kTokenAnswer : "");
    return 0;
}

const nimbus_io kHost = {nullptr, host_get, host_post, nullptr};

void script_fake() {
    nimbus_fake_set("POST", nimbus_token_url(), 200, kTokenAnswer);
    nimbus_fake_set("GET", root_url().c_str(), 200, page1().c_str());
    nimbus_fake_set("GET", next_url().c_str(), 200, kPage2);
    nimbus_fake_set("GET", item_url().c_str(), 200, kItem);
}

std::string json_str(const std::string &s) {
    std::string r = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            r += '\\';
            r += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            r += esc;
        } else {
            r += static_cast<char>(c);
        }
    }
    return r + "\"";
}

struct Faults {
    std::mutex lock;
    std::vector<std::string> list;
    int successes = 0;
    int failures = 0;
    void add(const std::string &s) {
        std::lock_guard<std::mutex> g(lock);
        if (list.size() < 20)
            list.push_back(s);
    }
};

// Judges one answer: a success with exactly the expected JSON, or (when the
// call may fail because of the racing threads) a failure with a published
// message, no result and the error object in the buffer.
void judge(Faults &f, const char *what, int code, const char *out, const std::string &expected,
           bool may_fail) {
    std::string result = nimbus_result_json();
    std::string error = nimbus_last_error();
    std::string where = std::string(what) + ": ";
    if (code == NIMBUS_OK) {
        if (out != expected || result != expected || !error.empty())
            f.add(where + "success with \"" + out + "\" / \"" + result + "\" / \"" + error + "\"");
        std::lock_guard<std::mutex> g(f.lock);
        f.successes++;
        return;
    }
    {
        std::lock_guard<std::mutex> g(f.lock);
        f.failures++;
    }
    if (!may_fail) {
        f.add(where + "failed with " + std::to_string(code) + " \"" + error + "\"");
        return;
    }
    // No transport selected, or the fake's script wiped for a moment.
    bool expected_code = code == NIMBUS_E_UNAVAILABLE || code == NIMBUS_E_NOT_FOUND;
    if (!expected_code || error.empty() || !result.empty() ||
        out != "{\"error\":" + json_str(error) + "}")
        f.add(where + "failure " + std::to_string(code) + " \"" + error + "\" with \"" + out +
              "\" / \"" + result + "\"");
    if (error.find("race-sec-") != std::string::npos ||
        error.find("race-rt-") != std::string::npos || error.find("race-at-") != std::string::npos)
        f.add(where + "secret in \"" + error + "\"");
}

TEST(RaceTest, RequestsRaceWithCacheWipesSelectionAndScripting) {
    nimbus_forget_tokens();
    nimbus_fake_reset();
    script_fake();
    nimbus_use_fake();
    const nimbus_handler *h = hvtab_get();

    Faults faults;
    std::atomic<bool> stop{false};
    auto started = std::chrono::steady_clock::now();

    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; w++) {
        workers.emplace_back([&, w] {
            std::vector<char> buf(16384);
            char *out = buf.data();
            auto len = static_cast<int32_t>(buf.size());
            for (int i = 0; i < kMaxRounds; i++) {
                if (i >= kMinRounds && std::chrono::steady_clock::now() - started >= kMinTime)
                    break;
                std::string s = settings((i * 7 + w) % kAccounts);
                // Every other call takes the host transport through the
                // handler record: nothing racing can make that one fail.
                bool direct = (i / 3 + w) % 2 == 0;
                int code;
                switch ((i + w) % 3) {
                case 0:
                    code = direct ? h->list(&kHost, s.c_str(), "", out, len)
                                  : nimbus_list(s.c_str(), nullptr, out, len);
                    judge(faults, "list", code, out, expected_list(), !direct);
                    break;
                case 1:
                    code = direct ? h->stream_url(&kHost, s.c_str(), "\"M1\"", out, len)
                                  : nimbus_stream_url(s.c_str(), R"({"id":"M1"})", out, len);
                    judge(faults, "stream", code, out, kExpectedStream, !direct);
                    break;
                default:
                    code = direct ? h->validate(&kHost, s.c_str(), out, len)
                                  : nimbus_validate(s.c_str(), out, len);
                    judge(faults, "validate", code, out, kExpectedValidate, !direct);
                    break;
                }
            }
        });
    }

    std::thread wiper([&] {
        while (!stop.load()) {
            nimbus_forget_tokens();
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::thread selector([&] {
        for (int i = 0; !stop.load(); i++) {
            nimbus_io copy = kHost;
            EXPECT_EQ(NIMBUS_OK, nimbus_set_io(&copy));
            EXPECT_EQ(NIMBUS_OK, nimbus_use_fake());
            EXPECT_EQ(NIMBUS_E_UNSUPPORTED, nimbus_use_curl());
            if (i % 8 == 0) {
                EXPECT_EQ(NIMBUS_OK, nimbus_set_io(nullptr));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::thread scripter([&] {
        for (int i = 0; !stop.load(); i++) {
            if (i % 40 == 39)
                nimbus_fake_reset();
            script_fake();
            std::string extra = base() + "/extra/" + std::to_string(i % 100);
            EXPECT_EQ(NIMBUS_OK, nimbus_fake_set("GET", extra.c_str(), 200, "{}"));
            EXPECT_GE(nimbus_fake_calls(nullptr, nullptr), 0);
            EXPECT_NE(nullptr, nimbus_fake_last_url());
            EXPECT_NE(nullptr, nimbus_fake_last_body(nimbus_token_url()));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });

    for (auto &t : workers)
        t.join();
    stop = true;
    wiper.join();
    selector.join();
    scripter.join();

    for (const auto &f : faults.list)
        ADD_FAILURE() << f;
    EXPECT_GT(faults.successes, 0);
    std::printf("%d successes, %d well-formed failures\n", faults.successes, faults.failures);

    nimbus_fake_reset();
    nimbus_forget_tokens();
    nimbus_set_io(nullptr);
}

} // namespace
