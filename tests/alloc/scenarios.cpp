// The scenarios of the allocation-failure program. Each one prepares its
// state without failures, then calls the library inside an armed region
// (r.arm() ... r.disarm()) and judges every call: a success must carry the
// complete, correct answer; a failure must be one the call may report when
// memory runs out. With r.n() == 0 nothing fails and every call must succeed.
#include <nimbus.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "hooks.h"
#include "support/entry_tail.h"

extern "C" {
void *__libc_malloc(size_t n);
void __libc_free(void *p);
}

namespace harness {
namespace {

// The codes a request documents, with "out of memory", for an allocation
// failure on its way: NIMBUS_E_INVALID while the settings are read,
// NIMBUS_E_FAILED building URLs, taking over tokens or writing the answer,
// NIMBUS_E_UNAVAILABLE where an exchange's answer cannot be copied; and,
// for a listing only, NIMBUS_E_BUFFER in its folder and path handling.
const std::initializer_list<int> REQUEST_OOM = {NIMBUS_E_INVALID, NIMBUS_E_FAILED,
                                                NIMBUS_E_UNAVAILABLE};
const std::initializer_list<int> LIST_OOM = {NIMBUS_E_INVALID, NIMBUS_E_FAILED,
                                             NIMBUS_E_UNAVAILABLE, NIMBUS_E_BUFFER};
// The stream request reports a failed copy of the entry's target as an
// unusable entry, and a failed copy of the download URL as a missing one.
const std::vector<std::pair<int, std::string>> STREAM_OUTCOMES = {
    {NIMBUS_E_NOT_FOUND, "entry has no OneDrive id (\"id\", \"path\" or \"backend_id\")"},
    {NIMBUS_E_UNSUPPORTED, "the item carries no download URL"}};

const std::string &base() {
    return env().graph_base;
}
const char *token_url() {
    return env().token_url.c_str();
}

std::string entry(const std::string &name, const std::string &path, bool folder, long long size,
                  long long mtime, const std::string &id, const std::string &parent) {
    char nums[96];
    std::snprintf(nums, sizeof nums, ",\"size\":%lld,\"mtime_ms\":%lld", size, mtime);
    return "{\"name\":" + json_str(name) + ",\"path\":" + json_str(path) +
           (folder ? ",\"folder\":true,\"kind\":\"dir\"" : ",\"folder\":false,\"kind\":\"file\"") +
           nums + ",\"id\":" + json_str(id) + ",\"backend_id\":" + json_str(id) +
           ",\"parent_id\":" + json_str(parent) + NIMBUS_ENTRY_TAIL;
}

std::string items(const std::vector<std::string> &entries) {
    std::string s = "{\"items\":[";
    for (size_t i = 0; i < entries.size(); i++)
        s += (i ? "," : "") + entries[i];
    return s + "]}";
}

// Scripts one fake route outside the armed region.
void script(run &r, const char *method, const std::string &url, int status,
            const std::string &body) {
    int code = nimbus_fake_set(method, url.c_str(), status, body.c_str());
    if (code != NIMBUS_OK)
        r.fail("scripting %s %s returned %d", method, url.c_str(), code);
}

void reset_fake() {
    nimbus_forget_tokens();
    nimbus_fake_reset();
    nimbus_use_fake();
}

std::string token_answer(const char *access, const char *rotated) {
    std::string s = "{\"token_type\":\"Bearer\",\"expires_in\":3600,\"access_token\":\"";
    s += access;
    s += "\"";
    if (rotated)
        s += std::string(",\"refresh_token\":\"") + rotated + "\"";
    return s + "}";
}

// ---- a paged listing with a grant ----------------------------------------

void list_with_grant(run &r) {
    const char *settings =
        R"({"RuntimeType":"ONEDRIVE","ClientId":"cid-list-0001","ClientSecret":"sec-list-9999",)"
        R"("refresh_token":"RT1-list-0001","scope":"Files.Read offline_access",)"
        R"("Path":"/Media","ID":"backend-list"})";
    const std::vector<std::string> secrets = {"sec-list-9999", "RT1-list-0001", "AT1-list-0001"};
    std::string url1 = base() + "/me/drive/root:/Media/Rock:/children?$top=200";
    std::string url2 = base() + "/me/drive/root:/Media/Rock:/children?$skiptoken=P2";
    std::string page1 =
        R"({"value":[{"id":"F1","name":"Live","folder":{"childCount":2},"size":0,)"
        R"("lastModifiedDateTime":"2024-02-29T12:34:56.789Z"},)"
        R"({"id":"A1","name":"a b.mp3","size":12345,"file":{}}],"@odata.nextLink":")" +
        url2 + "\"}";
    // Enough entries on the second page to grow the item array and its index,
    // and a name that is not well-formed UTF-8, which is repaired.
    std::string page2 = R"({"value":[{"id":"A1","name":"dup.mp3","size":1},)"
                        R"({"id":"B2","name":"AC/DC.flac","size":7.5},)"
                        "{\"id\":\"H3\",\"name\":\"h\xFF\\udcff.mp3\",\"size\":3}";
    std::vector<std::string> want = {
        entry("Live", "/Rock/Live", true, 0, 1709210096789LL, "F1", "/Rock"),
        entry("a b.mp3", "/Rock/a b.mp3", false, 12345, 0, "A1", "/Rock"),
        entry("AC\xE2\x88\x95"
              "DC.flac",
              "/Rock/AC\xE2\x88\x95"
              "DC.flac",
              false, 7, 0, "B2", "/Rock"),
        entry("h\xEF\xBF\xBD\xEF\xBF\xBD.mp3", "/Rock/h\xEF\xBF\xBD\xEF\xBF\xBD.mp3", false, 3, 0,
              "H3", "/Rock")};
    for (int i = 0; i < 70; i++) {
        char item[96], id[8], name[16];
        std::snprintf(id, sizeof id, "T%02d", i);
        std::snprintf(name, sizeof name, "t%02d.mp3", i);
        std::snprintf(item, sizeof item, R"(,{"id":"%s","name":"%s","size":%d})", id, name, i);
        page2 += item;
        want.push_back(entry(name, std::string("/Rock/") + name, false, i, 0, id, "/Rock"));
    }
    page2 += "]}";
    std::string expected = items(want);
    std::string form = "grant_type=refresh_token&refresh_token=RT1-list-0001&client_id=cid-list-"
                       "0001&client_secret=sec-list-9999&scope=Files.Read%20offline_access";

    reset_fake();
    script(r, "POST", token_url(), 200, token_answer("AT1-list-0001", "RT2-list-0002"));
    script(r, "GET", url1, 200, page1);
    script(r, "GET", url2, 200, page2);
    clear_out();

    r.arm();
    int code = nimbus_list(settings, "/Rock", out_buffer(), OUT_SIZE);
    r.disarm();

    r.request("nimbus_list", code, out_buffer(), expected, LIST_OOM, r.fired(), secrets);
    if (code == NIMBUS_OK) {
        std::string posted = nimbus_fake_last_body(token_url());
        if (!(r.fired() && posted.empty()))
            r.equal("token request form", posted, form);
    }
}

// ---- a cached token answered with 401, refreshed and retried --------------

// A host transport that knows two access tokens: AT1 until it is revoked, and
// AT2, which the token endpoint hands out for the rotated refresh token RT2.
// It allocates with the C library directly, so that only the library's own
// allocations are counted and failed.
struct host_state {
    char page_url[1024];
    std::atomic<bool> revoked{false};
    std::atomic<bool> rt1_used{false};
    std::atomic<int> posts{0};
    char last_form[1024];
};
host_state g_host;

const char *const HOST_SETTINGS =
    R"({"ClientId":"cid-401-0001","ClientSecret":"sec-401-9999","refresh_token":"RT1-401-0001"})";
const char *const HOST_PAGE =
    R"({"value":[{"id":"R1","name":"r1.mp3","size":1},{"id":"R2","name":"r2","folder":{}}]})";

std::string host_expected() {
    return items({entry("r1.mp3", "/r1.mp3", false, 1, 0, "R1", ""),
                  entry("r2", "/r2", true, -1, 0, "R2", "")});
}

char *host_copy(const char *s) {
    size_t n = std::strlen(s);
    char *p = static_cast<char *>(__libc_malloc(n + 1));
    if (p)
        std::memcpy(p, s, n + 1);
    return p;
}

int answer(char **body, int32_t *status, int code, const char *text) {
    *body = host_copy(text);
    *status = code;
    return *body ? 0 : -1;
}

int host_get(void *, const char *url, char **body, int32_t *status, char **) {
    const char *marker = std::strstr(url, "#NIMBUS-BEARER:");
    size_t len = marker ? static_cast<size_t>(marker - url) : std::strlen(url);
    const char *token = marker ? marker + 15 : "";
    if (len != std::strlen(g_host.page_url) || std::strncmp(url, g_host.page_url, len) != 0)
        return answer(body, status, 404, "not found");
    bool at1 = std::strcmp(token, "AT1-401-0001") == 0;
    bool at2 = std::strcmp(token, "AT2-401-0002") == 0;
    if ((at1 && !g_host.revoked.load()) || at2)
        return answer(body, status, 200, HOST_PAGE);
    return answer(body, status, 401,
                  R"({"error":{"code":"InvalidAuthenticationToken","message":"expired"}})");
}

int host_post(void *, const char *, const char *form, const char *, char **body, int32_t *status,
              char **) {
    g_host.posts++;
    std::snprintf(g_host.last_form, sizeof g_host.last_form, "%s", form ? form : "");
    const char *refused =
        R"({"error":"invalid_grant","error_description":"refresh token rotated"})";
    if (form && std::strstr(form, "refresh_token=RT1-401-0001&")) {
        if (g_host.rt1_used.exchange(true))
            return answer(body, status, 400, refused);
        return answer(body, status, 200,
                      R"({"access_token":"AT1-401-0001","refresh_token":"RT2-401-0002",)"
                      R"("expires_in":3600})");
    }
    if (form && std::strstr(form, "refresh_token=RT2-401-0002&"))
        return answer(body, status, 200, R"({"access_token":"AT2-401-0002","expires_in":3600})");
    return answer(body, status, 400, refused);
}

void host_free(void *, void *text) {
    __libc_free(text);
}

const nimbus_io HOST_IO = {nullptr, host_get, host_post, host_free};

void host_reset() {
    std::snprintf(g_host.page_url, sizeof g_host.page_url, "%s/me/drive/root/children?$top=200",
                  base().c_str());
    g_host.revoked = false;
    g_host.rt1_used = false;
    g_host.posts = 0;
    g_host.last_form[0] = 0;
}

void list_refresh_retry(run &r) {
    const std::vector<std::string> secrets = {"sec-401-9999", "RT1-401-0001", "AT1-401-0001",
                                              "AT2-401-0002"};
    const nimbus_handler *h = hvtab_get();
    std::string expected = host_expected();
    nimbus_forget_tokens();
    host_reset();
    clear_out();
    int code = h->list(&HOST_IO, HOST_SETTINGS, nullptr, out_buffer(), OUT_SIZE);
    r.equal("listing that caches AT1", out_buffer(), expected);
    if (code != NIMBUS_OK)
        r.fail("the listing that caches AT1 returned %d", code);
    g_host.revoked = true;
    int posts = g_host.posts;
    clear_out();

    r.arm();
    code = h->list(&HOST_IO, HOST_SETTINGS, "", out_buffer(), OUT_SIZE);
    r.disarm();

    r.request("handler list after 401", code, out_buffer(), expected, LIST_OOM, r.fired(), secrets);
    if (code == NIMBUS_OK && g_host.posts == posts)
        r.fail("the 401 answer was not followed by a refresh grant");
    if (code == NIMBUS_OK && !std::strstr(g_host.last_form, "refresh_token=RT2-401-0002&"))
        r.fail("the refresh grant presented \"%s\" instead of the rotated token", g_host.last_form);
}

// ---- eviction from a full token cache, with bodies the library adopts -----

// A host transport without a free callback: its bodies come from malloc, so
// the library may adopt them, and their allocations are counted too.
int plain_get(void *, const char *url, char **body, int32_t *status, char **error) {
    const char *marker = std::strstr(url, "#NIMBUS-BEARER:");
    size_t len = marker ? static_cast<size_t>(marker - url) : std::strlen(url);
    bool root = len == std::strlen(g_host.page_url) && std::strncmp(url, g_host.page_url, len) == 0;
    *body = strdup(root ? HOST_PAGE : "not found");
    if (!*body) {
        *error = strdup("out of memory");
        return -1;
    }
    *status = root ? 200 : 404;
    return 0;
}

int plain_post(void *, const char *, const char *, const char *, char **answer, int32_t *status,
               char **error) {
    g_host.posts++;
    *answer = strdup(R"({"access_token":"AT1-plain-0001","expires_in":3600})");
    if (!*answer) {
        *error = strdup("out of memory");
        return -1;
    }
    *status = 200;
    return 0;
}

const nimbus_io PLAIN_IO = {nullptr, plain_get, plain_post, nullptr};

std::string account(int i) {
    char s[160];
    std::snprintf(s, sizeof s,
                  R"({"ClientId":"cid-ev-%02d","ClientSecret":"sec-ev-9999",)"
                  R"("refresh_token":"RT1-ev-%02d"})",
                  i, i);
    return s;
}

void eviction(run &r) {
    const std::vector<std::string> secrets = {"sec-ev-9999", "RT1-ev-16", "AT1-plain-0001"};
    std::string expected = host_expected();
    nimbus_forget_tokens();
    host_reset();
    nimbus_set_io(&PLAIN_IO);
    // Sixteen accounts fill the cache; the seventeenth evicts one of them.
    for (int i = 0; i < 16; i++) {
        clear_out();
        if (nimbus_list(account(i).c_str(), "", out_buffer(), OUT_SIZE) != NIMBUS_OK)
            r.fail("account %d: %s", i, nimbus_last_error());
    }
    std::string last = account(16);
    clear_out();

    r.arm();
    int code = nimbus_list(last.c_str(), "", out_buffer(), OUT_SIZE);
    r.disarm();

    r.request("listing of a 17th account", code, out_buffer(), expected, LIST_OOM, r.fired(),
              secrets);
    nimbus_set_io(nullptr);
}

// ---- refusals: the error paths ---------------------------------------------

void refusals(run &r) {
    const char *settings =
        R"({"ClientId":"cid-ref-0001","ClientSecret":"sec-ref-9999","refresh_token":"RT1-ref-0001",)"
        R"("Path":"/Media"})";
    const std::vector<std::string> secrets = {"sec-ref-9999", "RT1-ref-0001", "AT1-ref-0001"};
    std::string missing = base() + "/me/drive/root:/Media/Gone:/children?$top=200";
    std::string refused = base() + "/me/drive/items/LOCKED";
    const char *envelope =
        R"({"error":{"code":"itemNotFound","message":"The resource could not be found."}})";
    reset_fake();
    host_reset();
    script(r, "POST", token_url(), 200, token_answer("AT1-ref-0001", nullptr));
    script(r, "GET", missing, 404, envelope);
    script(r, "GET", refused, 403, "Access denied\nsecond line");
    const std::string not_found = "children: " + missing + " answered HTTP 404: " + envelope;
    const std::string forbidden = "item: LOCKED answered HTTP 403: Access denied";
    // The host transport turns down refresh tokens it does not know.
    const std::string revoked = "refresh token rotated";
    const char *revoked_settings = R"({"ClientId":"cid-ref-0002","ClientSecret":"sec-ref-9999",)"
                                   R"("refresh_token":"RT1-ref-0002"})";
    const nimbus_handler *h = hvtab_get();
    clear_out();

    r.arm();
    int code = nimbus_list(settings, "/Gone", out_buffer(), OUT_SIZE);
    r.refusal("listing a missing folder", code, out_buffer(), NIMBUS_E_NOT_FOUND, not_found,
              LIST_OOM, r.fired_since_mark(), secrets);
    clear_out();
    code = nimbus_stream_url(settings, R"({"id":"LOCKED"})", out_buffer(), OUT_SIZE);
    r.refusal("stream of a refused item", code, out_buffer(), NIMBUS_E_AUTH, forbidden, REQUEST_OOM,
              r.fired_since_mark(), secrets, STREAM_OUTCOMES);
    clear_out();
    code = h->validate(&HOST_IO, revoked_settings, out_buffer(), OUT_SIZE);
    r.refusal("validation with a revoked refresh token", code, out_buffer(), NIMBUS_E_AUTH, revoked,
              REQUEST_OOM, r.fired_since_mark(), secrets);
    r.disarm();
}

// ---- a stream locator ------------------------------------------------------

void stream_locator(run &r) {
    const char *settings = R"({"ClientId":"cid-str-0001","ClientSecret":"sec-str-9999",)"
                           R"("RefreshToken":"RT1-str-0001","Path":"Media"})";
    const std::vector<std::string> secrets = {"sec-str-9999", "RT1-str-0001", "AT1-str-0001"};
    std::string url = base() + "/me/drive/root:/Media/Music/a%20b.mp3";
    std::string item = R"({"id":"ITEM-1","name":"a b.mp3","size":12345,)"
                       R"("file":{"mimeType":"audio/mpeg"},)"
                       R"("@microsoft.graph.downloadUrl":"https://dl.invalid/a?tempauth=xyz"})";
    std::string expected = R"({"url":"https://dl.invalid/a?tempauth=xyz","id":"ITEM-1",)"
                           R"("name":"a b.mp3","size":12345,"range":true})";
    reset_fake();
    script(r, "POST", token_url(), 200, token_answer("AT1-str-0001", nullptr));
    script(r, "GET", url, 200, item);
    clear_out();

    r.arm();
    // First with a grant and a buffer, then from the cached token without a
    // buffer (the answer is read from nimbus_result_json).
    int code =
        nimbus_stream_url(settings, R"({"id":"","path":"/Music/a b.mp3"})", out_buffer(), OUT_SIZE);
    r.request("nimbus_stream_url", code, out_buffer(), expected, REQUEST_OOM, r.fired_since_mark(),
              secrets, STREAM_OUTCOMES);
    code = nimbus_stream_url(settings, R"("/Music/a b.mp3")", nullptr, 0);
    r.request("nimbus_stream_url without buffer", code, nullptr, expected, REQUEST_OOM,
              r.fired_since_mark(), secrets, STREAM_OUTCOMES);
    r.disarm();
}

// ---- validations -----------------------------------------------------------

bool is_guid(const std::string &s) {
    if (s.size() != 36)
        return false;
    for (size_t i = 0; i < 36; i++) {
        char c = s[i];
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return s[14] == '4' && std::strchr("89ab", s[19]) != nullptr;
}

// The validate answer with its new ID taken from the answer itself when that
// ID is well formed.
std::string with_id(const std::string &head, const std::string &got) {
    std::string id = got.size() > head.size() + 8 ? got.substr(head.size() + 7, 36) : "";
    return head + ",\"ID\":\"" + (is_guid(id) ? id : "<a new GUID>") + "\"}";
}

void validate_new_id(run &r) {
    const char *settings = R"({"ClientId":"cid-val-0001","ClientSecret":"sec-val-9999",)"
                           R"("refresh_token":"RT1-val-0001"})";
    const std::vector<std::string> secrets = {"sec-val-9999", "RT1-val-0001", "AT1-val-0001"};
    std::string url1 = base() + "/me/drive/root/children?$top=200";
    std::string url2 = base() + "/me/drive/root/children?$skiptoken=2";
    reset_fake();
    script(r, "POST", token_url(), 200, token_answer("AT1-val-0001", "RT2-val-0002"));
    script(r, "GET", url1, 200,
           R"({"value":[{"id":"X1","name":"x.mp3","size":5}],"@odata.nextLink":")" + url2 + "\"}");
    script(r, "GET", url2, 200, R"({"value":[{"id":"X2","name":"y.mp3"}]})");
    clear_out();
    std::string head = R"({"RuntimeType":"ONEDRIVE","refresh_token":"RT2-val-0002")";

    r.arm();
    int code = nimbus_validate(settings, out_buffer(), OUT_SIZE);
    r.disarm();

    std::string got = out_buffer();
    r.request("nimbus_validate", code, out_buffer(), with_id(head, got), REQUEST_OOM, r.fired(),
              secrets);
}

void validate_business_with_id(run &r) {
    const char *settings =
        R"({"RuntimeType":"ONEDRIVEB","ClientId":"cid-vb-0001","ClientSecret":"sec-vb-9999",)"
        R"("RefreshToken":"RT1-vb-0001","ID":"backend-7","Path":"/Docs"})";
    const std::vector<std::string> secrets = {"sec-vb-9999", "RT1-vb-0001", "AT1-vb-0001"};
    std::string url = base() + "/me/drive/root:/Docs:/children?$top=200";
    std::string expected = R"({"RuntimeType":"ONEDRIVEB","RefreshToken":"RT2-vb-0002"})";
    reset_fake();
    script(r, "POST", token_url(), 200, token_answer("AT1-vb-0001", "RT2-vb-0002"));
    script(r, "GET", url, 200, R"({"value":[]})");
    clear_out();

    r.arm();
    // With a grant and a buffer, then from the cache without a buffer.
    int code = nimbus_validate(settings, out_buffer(), OUT_SIZE);
    r.request("nimbus_validate", code, out_buffer(), expected, REQUEST_OOM, r.fired_since_mark(),
              secrets);
    code = nimbus_validate(settings, nullptr, 0);
    r.request("nimbus_validate without buffer", code, nullptr, expected, REQUEST_OOM,
              r.fired_since_mark(), secrets);
    r.disarm();
}

// ---- services without a transport ------------------------------------------

void parse_items(run &r) {
    const char *page =
        R"({"value":[{"id":"P1","name":"song.mp3","size":3,)"
        R"("lastModifiedDateTime":"1971-01-01T00:00:00Z"},{"id":"P2","name":"Sub","folder":{}},)"
        R"({"id":"P1","name":"dup"},5,{"name":"no id"}],"@odata.nextLink":"https://n.invalid/x"})";
    std::string expected =
        items({entry("song.mp3", "/Music/song.mp3", false, 3, 31536000000LL, "P1", "/Music"),
               entry("Sub", "/Music/Sub", true, -1, 0, "P2", "/Music")});
    clear_out();

    r.arm();
    int code = nimbus_parse_items(page, "/Music", out_buffer(), OUT_SIZE);
    r.request("nimbus_parse_items", code, out_buffer(), expected, {NIMBUS_E_FAILED},
              r.fired_since_mark(), {});
    code = nimbus_parse_items(page, "/Music", nullptr, 0);
    r.request("nimbus_parse_items without buffer", code, nullptr, expected, {NIMBUS_E_FAILED},
              r.fired_since_mark(), {});
    r.disarm();
}

void drive_base_check(run &r, const char *what, const char *got, bool fired) {
    hooks::quiet q;
    std::string error = nimbus_last_error();
    std::string result = nimbus_result_json();
    if (got) {
        if (fired)
            r.outcome(what, 0, "absorbed");
        r.equal(what, got, base());
        if (!(fired && result.empty()))
            r.equal("nimbus_result_json after nimbus_drive_base", result, base());
        if (!error.empty())
            r.fail("%s succeeded with the error text \"%s\"", what, error.c_str());
        return;
    }
    r.outcome(what, -1, error);
    if (!fired)
        r.fail("%s returned null (\"%s\") although no allocation failed", what, error.c_str());
    else if (error.find("out of memory") == std::string::npos)
        r.fail("%s returned null with \"%s\" when memory ran out", what, error.c_str());
}

void drive_base(run &r) {
    r.arm();
    const char *got = nimbus_drive_base(
        R"({"ClientId":"cid-db","ClientSecret":"sec-db-9999","refresh_token":"RT1-db"})");
    drive_base_check(r, "nimbus_drive_base", got, r.fired_since_mark());
    got = nimbus_drive_base(R"({"ClientSecret":"sec-db-9999","Path":"/Music"})");
    drive_base_check(r, "nimbus_drive_base without ClientId", got, r.fired_since_mark());
    r.disarm();
}

void redact(run &r) {
    const char *text = "https://user:pw@host.invalid/p?a=1&access_token=SECRET1234&x=2&pw=&"
                       "client_secret=s3cr3t-value#frag";
    std::string expected =
        "https://host.invalid/p?a=1&access_token=***&x=2&pw=***&client_secret=***#frag";

    r.arm();
    const char *got = nimbus_redact(text);
    {
        hooks::quiet q;
        std::string s = got ? got : "<null>";
        bool fired = r.fired_since_mark();
        if (fired && s != expected)
            r.outcome("nimbus_redact", 0, s.empty() ? "empty text" : "shortened text");
        // When memory runs out the text may end early, never differ.
        if (fired ? expected.compare(0, s.size(), s) != 0 : s != expected)
            r.fail("nimbus_redact gave \"%s\", want (a beginning of) \"%s\"", s.c_str(),
                   expected.c_str());
        if (leaks(s, {"SECRET1234", "s3cr3t-value", "user:pw"}))
            r.fail("nimbus_redact shows a secret: \"%s\"", s.c_str());
    }
    got = nimbus_redact(nullptr);
    if (!got || *got)
        r.fail("nimbus_redact(NULL) gave \"%s\"", got ? got : "<null>");
    r.disarm();
}

// ---- fake-transport scripting ------------------------------------------------

void fake_scripting(run &r) {
    const char *settings =
        R"({"ClientId":"cid-fk-0001","ClientSecret":"sec-fk-9999","refresh_token":"RT1-fk-0001"})";
    std::string root = base() + "/me/drive/root/children?$top=200";
    std::string form = "grant_type=refresh_token&refresh_token=RT1-fk-0001&client_id=cid-fk-0001"
                       "&client_secret=sec-fk-9999&scope=offline_access%20Files.Read.All";
    std::string root_page = R"({"value":[{"id":"K1","name":"k.mp3","size":2}]})";
    std::string root_want = items({entry("k.mp3", "/k.mp3", false, 2, 0, "K1", "")});
    // 40 folders, addressed by item id, one route each: the route array grows
    // from 32 to 64 on the way.
    const int FOLDERS = 40;
    std::vector<std::string> urls, pages;
    for (int i = 0; i < FOLDERS; i++) {
        char id[16];
        std::snprintf(id, sizeof id, "D%02d", i);
        urls.push_back(base() + "/me/drive/items/" + id + "/children?$top=200");
        pages.push_back(std::string(R"({"value":[{"id":"E)") + id + R"(","name":"e.mp3"}]})");
    }
    reset_fake();
    script(r, "POST", token_url(), 200, token_answer("AT1-fk-0001", nullptr));
    script(r, "GET", root, 200, root_page);
    clear_out();
    if (nimbus_list(settings, "", out_buffer(), OUT_SIZE) != NIMBUS_OK)
        r.fail("the listing before scripting failed: %s", nimbus_last_error());
    int codes[FOLDERS];
    char last_url[2048], last_body[2048];

    r.arm();
    for (int i = 0; i < FOLDERS; i++)
        codes[i] = nimbus_fake_set("GET", urls[i].c_str(), 200, pages[i].c_str());
    int failed = nimbus_fake_fail("GET", root.c_str(), "boom");
    int again = nimbus_fake_set("GET", root.c_str(), 200, root_page.c_str());
    int bad_method = nimbus_fake_set("PUT", root.c_str(), 200, "");
    int null_url = nimbus_fake_fail("GET", nullptr, nullptr);
    int calls = nimbus_fake_calls(nullptr, nullptr);
    int root_calls = nimbus_fake_calls("GET", root.c_str());
    std::snprintf(last_url, sizeof last_url, "%s", nimbus_fake_last_url());
    std::snprintf(last_body, sizeof last_body, "%s", nimbus_fake_last_body(token_url()));
    r.disarm();

    hooks::quiet q;
    bool fired = r.fired();
    auto judge = [&](const char *what, int code) {
        if (code == NIMBUS_OK)
            return true;
        r.outcome(what, code, "");
        if (code != NIMBUS_E_BUFFER || !fired)
            r.fail("%s returned %d", what, code);
        return false;
    };
    for (int i = 0; i < FOLDERS; i++)
        if (!judge("nimbus_fake_set", codes[i]))
            script(r, "GET", urls[i], 200, pages[i]);
    bool root_ok = judge("nimbus_fake_fail", failed);
    root_ok = judge("nimbus_fake_set again", again) && root_ok;
    if (!root_ok)
        script(r, "GET", root, 200, root_page);
    if (bad_method != NIMBUS_E_INVALID || null_url != NIMBUS_E_INVALID)
        r.fail("scripting with PUT or a null URL returned %d and %d", bad_method, null_url);
    if (calls != 2 || root_calls != 1)
        r.fail("nimbus_fake_calls counted %d requests and %d root hits", calls, root_calls);
    if (!(fired && !*last_url))
        r.equal("nimbus_fake_last_url", last_url, root);
    if (!(fired && !*last_body))
        r.equal("nimbus_fake_last_body", last_body, form);

    // The script must still answer every route.
    for (int i : {0, 31, 32, FOLDERS - 1}) {
        char id[16];
        std::snprintf(id, sizeof id, "D%02d", i);
        clear_out();
        int code = nimbus_list(settings, id, out_buffer(), OUT_SIZE);
        std::string eid = std::string("E") + id;
        std::string want =
            items({entry("e.mp3", std::string(id) + "/e.mp3", false, -1, 0, eid, id)});
        if (code != NIMBUS_OK)
            r.fail("listing %s after scripting returned %d: %s", id, code, nimbus_last_error());
        r.equal("listing after scripting", out_buffer(), want);
    }
    clear_out();
    if (nimbus_list(settings, "", out_buffer(), OUT_SIZE) != NIMBUS_OK)
        r.fail("listing the root after scripting failed: %s", nimbus_last_error());
    r.equal("root listing after scripting", out_buffer(), root_want);
}

// ---- transport selection -----------------------------------------------------

void set_io(run &r) {
    nimbus_forget_tokens();
    nimbus_fake_reset();
    host_reset();
    int codes[6];

    r.arm();
    {
        nimbus_io copy = HOST_IO; // the library keeps its own copy
        codes[0] = nimbus_set_io(&copy);
    }
    nimbus_io incomplete = {nullptr, host_get, nullptr, nullptr};
    codes[1] = nimbus_set_io(&incomplete);
    codes[2] = nimbus_use_curl();
    codes[3] = nimbus_use_fake();
    codes[4] = nimbus_set_io(&HOST_IO);
    codes[5] = nimbus_set_io(nullptr);
    r.disarm();

    const int want[6] = {NIMBUS_OK, NIMBUS_E_INVALID, NIMBUS_E_UNSUPPORTED,
                         NIMBUS_OK, NIMBUS_OK,        NIMBUS_OK};
    for (int i = 0; i < 6; i++)
        if (codes[i] != want[i])
            r.fail("selection call %d returned %d, want %d", i, codes[i], want[i]);

    clear_out();
    int code = nimbus_list(HOST_SETTINGS, "", out_buffer(), OUT_SIZE);
    if (code != NIMBUS_E_UNAVAILABLE || std::string(nimbus_last_error()) != "no transport")
        r.fail("without a selection the listing returned %d \"%s\"", code, nimbus_last_error());
    {
        nimbus_io copy = HOST_IO;
        nimbus_set_io(&copy);
    }
    clear_out();
    code = nimbus_list(HOST_SETTINGS, "", out_buffer(), OUT_SIZE);
    if (code != NIMBUS_OK)
        r.fail("listing through the selected table returned %d: %s", code, nimbus_last_error());
    r.equal("listing through the selected table", out_buffer(), host_expected());
    nimbus_set_io(nullptr);
}

} // namespace

const std::vector<scenario> &scenarios() {
    static const std::vector<scenario> all = {
        {"paged listing with a grant", list_with_grant},
        {"cached token, 401, refresh and retry", list_refresh_retry},
        {"refusals (404, 403, invalid_grant)", refusals},
        {"17th account, host bodies adopted", eviction},
        {"stream locator", stream_locator},
        {"validation with a rotated token and a new ID", validate_new_id},
        {"validation of business settings with an ID", validate_business_with_id},
        {"nimbus_parse_items", parse_items},
        {"nimbus_drive_base", drive_base},
        {"nimbus_redact", redact},
        {"fake-transport scripting", fake_scripting},
        {"nimbus_set_io", set_io},
        {"drive handle: open, list, item, not a folder", drive_scenario},
        {"nimbus_token_grant", token_grant_scenario},
    };
    return all;
}

} // namespace harness
