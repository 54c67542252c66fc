// Shared helpers of the end-to-end tests: settings, scripted token and Graph
// answers on the fake transport, expected entry JSON, and a thread-safe
// wrapping transport that can answer a URL differently once.
#ifndef NIMBUS_TESTS_FAKE_FIXTURE_H
#define NIMBUS_TESTS_FAKE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nimbus.h"
#include "support/entry_tail.h"
#include "transport/transport.h"

namespace fx {

inline const std::string kTokenUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
inline const std::string kGraph = "https://graph.microsoft.com/v1.0";
inline const std::string kRoot = kGraph + "/me/drive/root/children";
inline std::string first_page(const std::string &url) {
    return url + "?$top=200";
}
// What the drive handle asks of each item: the members its entries are
// made of and, where a host plays from the answer, the download URL.
inline const std::string kEntries =
    "$select=id,name,size,lastModifiedDateTime,file,folder,remoteItem,parentReference,root,"
    "deleted,audio,video,photo,image";
inline const std::string kPlayable = kEntries + ",@microsoft.graph.downloadUrl";
// The first page of a handle's listing.
inline std::string handle_page(const std::string &url, const std::string &top = "200") {
    return url + "?$top=" + top + "&" + kPlayable;
}
// The first page of a walk's listing or of the change feed: no download
// URLs (they would be stale long before a whole drive's entries are used).
inline std::string entries_page(const std::string &url, const std::string &top = "200") {
    return url + "?$top=" + top + "&" + kEntries;
}
// An item look-up by a handle: kPlayable for nimbus_drive_item, kEntries
// for a walk's.
inline std::string lookup(const std::string &url, const std::string &what = kPlayable) {
    return url + "?" + what;
}

inline const std::string kClientId = "cid-1234";
inline const std::string kSecret = "sec-ret-5678";
inline const std::string kRefresh = "rt-configured-0001";

// Settings JSON; extra members (already JSON) are appended inside the object.
inline std::string settings(const std::string &extra = "") {
    std::string s = "{\"ClientId\":\"" + kClientId + "\",\"ClientSecret\":\"" + kSecret +
                    "\",\"refresh_token\":\"" + kRefresh + "\"";
    if (!extra.empty())
        s += "," + extra;
    return s + "}";
}

inline std::string token_answer(const std::string &access, const std::string &rotated = "",
                                int expires_in = 3600) {
    std::string s = "{\"token_type\":\"Bearer\",\"access_token\":\"" + access + "\"";
    if (!rotated.empty())
        s += ",\"refresh_token\":\"" + rotated + "\"";
    return s + ",\"expires_in\":" + std::to_string(expires_in) + "}";
}

// A driveItem; size < 0 leaves "size" out, an empty mtime leaves the time out.
inline std::string item(const std::string &id, const std::string &name, long long size = 5,
                        bool folder = false, const std::string &mtime = "") {
    std::string s = "{\"id\":\"" + id + "\",\"name\":\"" + name + "\"";
    if (size >= 0)
        s += ",\"size\":" + std::to_string(size);
    if (!mtime.empty())
        s += ",\"lastModifiedDateTime\":\"" + mtime + "\"";
    if (folder)
        s += ",\"folder\":{\"childCount\":0}";
    else
        s += ",\"file\":{\"mimeType\":\"audio/mpeg\"}";
    return s + "}";
}

inline std::string page(const std::vector<std::string> &items, const std::string &next = "") {
    std::string s = "{\"value\":[";
    for (size_t i = 0; i < items.size(); i++)
        s += (i ? "," : "") + items[i];
    s += "]";
    if (!next.empty())
        s += ",\"@odata.nextLink\":\"" + next + "\"";
    return s + "}";
}

// The host's entry object for one listed item.
inline std::string entry(const std::string &name, const std::string &path, bool folder,
                         long long size, long long mtime, const std::string &id,
                         const std::string &parent) {
    return "{\"name\":\"" + name + "\",\"path\":\"" + path +
           "\",\"folder\":" + (folder ? "true,\"kind\":\"dir\"" : "false,\"kind\":\"file\"") +
           ",\"size\":" + std::to_string(size) + ",\"mtime_ms\":" + std::to_string(mtime) +
           ",\"id\":\"" + id + "\",\"backend_id\":\"" + id + "\",\"parent_id\":\"" + parent +
           "\"" NIMBUS_ENTRY_TAIL;
}

inline std::string items_json(const std::vector<std::string> &entries) {
    std::string s = "{\"items\":[";
    for (size_t i = 0; i < entries.size(); i++)
        s += (i ? "," : "") + entries[i];
    return s + "]}";
}

// The error object of a message (the messages here hold no control bytes).
inline std::string error_json(const std::string &msg) {
    std::string s = "{\"error\":\"";
    for (char c : msg) {
        if (c == '"' || c == '\\')
            s += '\\';
        s += c;
    }
    return s + "\"}";
}

inline void script_token(const std::string &access = "at-0001", const std::string &rotated = "",
                         int expires_in = 3600) {
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("POST", kTokenUrl.c_str(), 200,
                                         token_answer(access, rotated, expires_in).c_str()));
}

inline void script_get(const std::string &url, int status, const std::string &body) {
    ASSERT_EQ(NIMBUS_OK, nimbus_fake_set("GET", url.c_str(), status, body.c_str()));
}

inline int gets(const std::string &url) {
    return nimbus_fake_calls("GET", url.c_str());
}
inline int grants() {
    return nimbus_fake_calls("POST", kTokenUrl.c_str());
}

// A request's outcome as the host sees it.
struct outcome {
    int rc;
    std::string out;
    std::string result;
    std::string error;
};

inline outcome finish_outcome(int rc, const char *out) {
    return {rc, out ? out : "", nimbus_result_json(), nimbus_last_error()};
}

inline outcome list(const std::string &s, const char *folder, int32_t cap = 1 << 20) {
    std::vector<char> out(cap > 0 ? cap : 1, 'x');
    int rc = nimbus_list(s.c_str(), folder, out.data(), cap);
    return finish_outcome(rc, out.data());
}

inline outcome stream(const std::string &s, const char *entry, int32_t cap = 1 << 16) {
    std::vector<char> out(cap > 0 ? cap : 1, 'x');
    int rc = nimbus_stream_url(s.c_str(), entry, out.data(), cap);
    return finish_outcome(rc, out.data());
}

inline outcome validate(const std::string &s, int32_t cap = 1 << 16) {
    std::vector<char> out(cap > 0 ? cap : 1, 'x');
    int rc = nimbus_validate(s.c_str(), out.data(), cap);
    return finish_outcome(rc, out.data());
}

// Every failure carries a message, the same one in its error JSON, and no result.
inline void expect_failure(const outcome &o, int code, const std::string &msg) {
    EXPECT_EQ(code, o.rc);
    EXPECT_EQ(msg, o.error);
    EXPECT_EQ("", o.result);
    EXPECT_EQ(error_json(msg), o.out);
}

// Empty cache, empty script, fake transport selected.
struct FakeTest : ::testing::Test {
    void SetUp() override {
        nimbus_forget_tokens();
        nimbus_fake_reset();
        ASSERT_EQ(NIMBUS_OK, nimbus_use_fake());
    }
    void TearDown() override {
        nimbus_forget_tokens();
        nimbus_fake_reset();
        nimbus_use_fake();
    }
};

// A transport that answers scripted one-shot answers first and hands every
// other request to the fake transport. Thread-safe; records the bearer token
// each URL was last requested with.
struct once_io {
    std::mutex mu;
    std::map<std::string, std::deque<std::pair<int, std::string>>> queued;
    std::map<std::string, int> once_hits;
    std::map<std::string, std::string> bearer;

    void queue(const std::string &method, const std::string &url, int status,
               const std::string &body) {
        std::lock_guard<std::mutex> g(mu);
        queued[method + " " + url].emplace_back(status, body);
    }
    int hits(const std::string &method, const std::string &url) {
        std::lock_guard<std::mutex> g(mu);
        return once_hits[method + " " + url];
    }
    std::string last_bearer(const std::string &url) {
        std::lock_guard<std::mutex> g(mu);
        return bearer[url];
    }
    nimbus_io table() { return nimbus_io{this, f_get, f_post, nullptr}; }

    bool take(const std::string &key, char **body, int32_t *status) {
        std::lock_guard<std::mutex> g(mu);
        auto it = queued.find(key);
        if (it == queued.end() || it->second.empty())
            return false;
        *status = it->second.front().first;
        *body = strdup(it->second.front().second.c_str());
        it->second.pop_front();
        once_hits[key]++;
        return true;
    }
    static int f_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
        auto *self = static_cast<once_io *>(ctx);
        std::string u = url, tok;
        size_t m = u.find(NIMBUS_BEARER_MARKER);
        if (m != std::string::npos) {
            tok = u.substr(m + std::strlen(NIMBUS_BEARER_MARKER));
            u.resize(m);
        }
        {
            std::lock_guard<std::mutex> g(self->mu);
            self->bearer[u] = tok;
        }
        if (self->take("GET " + u, body, status))
            return 0;
        return nimbus_io_fake()->get(nullptr, url, body, status, error);
    }
    static int f_post(void *ctx, const char *url, const char *req, const char *type, char **body,
                      int32_t *status, char **error) {
        auto *self = static_cast<once_io *>(ctx);
        if (self->take(std::string("POST ") + url, body, status))
            return 0;
        return nimbus_io_fake()->post(nullptr, url, req, type, body, status, error);
    }
};

} // namespace fx

#endif // NIMBUS_TESTS_FAKE_FIXTURE_H
