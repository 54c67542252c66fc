// The settings record: one request's JSON settings read and checked into a
// nimbus_cfg, with the first fault reported in fixed words.
#include <cstdio>
#include <cstring>

#include <yyjson.h>

#include "text/text.h"

namespace {

constexpr size_t MAX_SETTINGS = 1048576;
constexpr size_t MAX_CLIENT_ID = 256;
constexpr size_t MAX_REFRESH_TOKEN = 8192;
constexpr size_t MAX_SCOPE = 512;

const char *sval(yyjson_val *obj, const char *key, char scratch[32]);
char *trimdup(const char *text, bool *oom);
int fail(nimbus_cfg *cfg, char *msg, size_t size, const char *text);

} // namespace

int nimbus_cfg_parse(const char *text, int strict, nimbus_cfg *cfg, char *msg, size_t size) {
    const bool address_only = strict == NIMBUS_CFG_ADDRESS;
    if (address_only)
        strict = 0;
    nimbus_cfg_free(cfg);
    if (text == nullptr)
        return fail(cfg, msg, size, "settings are NULL");
    size_t len = strnlen(text, MAX_SETTINGS + 1);
    if (len > MAX_SETTINGS)
        return fail(cfg, msg, size, "settings are larger than 1 MiB");
    yyjson_read_err err{};
    nimbus_doc_guard doc{yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, &err)};
    if (doc.doc == nullptr && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION)
        return fail(cfg, msg, size, "out of memory");
    yyjson_val *root = yyjson_doc_get_root(doc.doc);
    if (root == nullptr || !yyjson_is_obj(root))
        return fail(cfg, msg, size, "settings are not a JSON object");

    char scratch[32];
    // A value whose copy fails for lack of memory must not read as absent: a
    // lost Path, scope or ID would quietly change what the request does.
    bool oom = false;
    auto take = [&](const char *key) { return trimdup(sval(root, key, scratch), &oom); };
    const char *runtime = sval(root, "RuntimeType", scratch);
    if (runtime == nullptr || runtime[0] == '\0' || std::strcmp(runtime, "ONEDRIVE") == 0)
        cfg->business = 0;
    else if (std::strcmp(runtime, "ONEDRIVEB") == 0)
        cfg->business = 1;
    else
        return fail(cfg, msg, size, "RuntimeType is not ONEDRIVE");
    // The national clouds serve work and school accounts only: personal
    // accounts live on the global service alone.
    yyjson_val *cloud = nimbus_json_member(root, "Cloud");
    if (cloud != nullptr && !yyjson_is_null(cloud)) {
        int32_t named = yyjson_is_str(cloud)
                            ? nimbus_cloud_named(yyjson_get_str(cloud), yyjson_get_len(cloud))
                            : -1;
        if (named < 0)
            return fail(cfg, msg, size,
                        "Cloud must be \"global\", \"usgov\", \"usgovdod\" or \"china\"");
        if (named != NIMBUS_CLOUD_GLOBAL && !cfg->business)
            return fail(cfg, msg, size,
                        "Cloud must be \"global\" for a personal drive (RuntimeType ONEDRIVE)");
        cfg->cloud = named;
    }

    // In lenient mode a missing credential is reported only when nothing
    // later is wrong: its caller ignores that fault, but not the others.
    const char *missing = nullptr;
    cfg->client_id = take("ClientId");
    if (oom)
        return fail(cfg, msg, size, "out of memory");
    if (cfg->client_id == nullptr) {
        if (strict)
            return fail(cfg, msg, size, "ClientId is required");
        missing = "ClientId is required";
    } else if (std::strlen(cfg->client_id) > MAX_CLIENT_ID) {
        return fail(cfg, msg, size, "ClientId is longer than 256 bytes");
    }

    // A public client (a native app registration) has no secret to send.
    yyjson_val *pub = nimbus_json_member(root, "PublicClient");
    if (pub != nullptr && !yyjson_is_null(pub)) {
        if (!yyjson_is_bool(pub))
            return fail(cfg, msg, size, "PublicClient must be true or false");
        cfg->public_client = yyjson_get_bool(pub) ? 1 : 0;
    }

    cfg->client_secret = take("ClientSecret");
    if (oom)
        return fail(cfg, msg, size, "out of memory");
    if (cfg->client_secret == nullptr && !cfg->public_client) {
        if (strict)
            return fail(cfg, msg, size, "ClientSecret is required");
        if (!missing)
            missing = "ClientSecret is required";
    }

    cfg->refresh_token = take("refresh_token");
    if (cfg->refresh_token == nullptr && !oom)
        cfg->refresh_token = take("RefreshToken");
    if (oom)
        return fail(cfg, msg, size, "out of memory");
    if (cfg->refresh_token == nullptr && strict)
        return fail(cfg, msg, size, "a refresh token (refresh_token or RefreshToken) is required");
    if (cfg->refresh_token != nullptr && std::strlen(cfg->refresh_token) > MAX_REFRESH_TOKEN)
        return fail(cfg, msg, size, "the refresh token is longer than 8 KiB");

    cfg->scope = take("scope");
    if (oom)
        return fail(cfg, msg, size, "out of memory");
    if (cfg->scope != nullptr && std::strlen(cfg->scope) > MAX_SCOPE)
        return fail(cfg, msg, size, "scope is longer than 512 bytes");

    cfg->path = take("Path");
    if (oom)
        return fail(cfg, msg, size, "out of memory");
    if (cfg->path != nullptr && cfg->path[0] == '/') {
        // Exactly one leading slash is dropped; the record keeps the rest.
        std::memmove(cfg->path, cfg->path + 1, std::strlen(cfg->path));
        if (cfg->path[0] == '\0') {
            std::free(cfg->path);
            cfg->path = nullptr;
        }
    }
    if (cfg->path != nullptr) {
        nimbus_buf full{};
        nimbus_buf_guard release{&full};
        if (nimbus_buf_add(&full, "/", 1) != 0 || nimbus_buf_adds(&full, cfg->path) != 0)
            return fail(cfg, msg, size, "out of memory");
        if (!nimbus_path_ok(full.data))
            return fail(cfg, msg, size, "Path is not a valid drive path");
    }

    // Only a JSON integer counts here: "500" or 5e2 would be a guess at
    // what the writer meant. null reads as absent, as for every other key.
    // The reader keeps every non-negative integer as unsigned.
    yyjson_val *page = nimbus_json_member(root, "PageSize");
    if (page != nullptr && !yyjson_is_null(page)) {
        if (!yyjson_is_uint(page) || yyjson_get_uint(page) < 1 ||
            yyjson_get_uint(page) > static_cast<uint64_t>(NIMBUS_MAX_PAGE_SIZE))
            return fail(cfg, msg, size, "PageSize must be an integer from 1 to 1000");
        cfg->page_size = static_cast<int32_t>(yyjson_get_uint(page));
    }

    // Folders a walk lists at once: each is one request in flight.
    yyjson_val *walk = nimbus_json_member(root, "WalkConcurrency");
    if (walk != nullptr && !yyjson_is_null(walk)) {
        if (!yyjson_is_uint(walk) || yyjson_get_uint(walk) < 1 ||
            yyjson_get_uint(walk) > static_cast<uint64_t>(NIMBUS_MAX_WALK_THREADS))
            return fail(cfg, msg, size, "WalkConcurrency must be an integer from 1 to 16");
        cfg->walk_threads = static_cast<int32_t>(yyjson_get_uint(walk));
    }
    yyjson_val *method = nimbus_json_member(root, "WalkMethod");
    if (method != nullptr && !yyjson_is_null(method)) {
        if (yyjson_equals_str(method, "listing"))
            cfg->walk_method = NIMBUS_WALK_LISTING;
        else if (yyjson_equals_str(method, "changes"))
            cfg->walk_method = NIMBUS_WALK_CHANGES;
        else if (!yyjson_equals_str(method, "auto"))
            return fail(cfg, msg, size, "WalkMethod must be \"auto\", \"listing\" or \"changes\"");
    }
    yyjson_val *meta = nimbus_json_member(root, "Metadata");
    if (meta != nullptr && !yyjson_is_null(meta)) {
        if (!yyjson_is_bool(meta))
            return fail(cfg, msg, size, "Metadata must be true or false");
        cfg->metadata = yyjson_get_bool(meta) ? 1 : 0;
    }
    // Only a host whose transport says it reads them gets header markers: a
    // 1.0 host would send them as part of the token.
    yyjson_val *marks = nimbus_json_member(root, "HeaderMarkers");
    if (marks != nullptr && !yyjson_is_null(marks)) {
        if (!yyjson_is_bool(marks))
            return fail(cfg, msg, size, "HeaderMarkers must be true or false");
        cfg->header_markers = yyjson_get_bool(marks) ? 1 : 0;
    }

    cfg->id = take("ID");
    if (oom)
        return fail(cfg, msg, size, "out of memory");
    if (missing && !address_only)
        return fail(cfg, msg, size, missing);
    return NIMBUS_OK;
}

void nimbus_cfg_free(nimbus_cfg *cfg) {
    if (cfg == nullptr)
        return;
    std::free(cfg->client_id);
    std::free(cfg->client_secret);
    std::free(cfg->refresh_token);
    std::free(cfg->scope);
    std::free(cfg->path);
    std::free(cfg->id);
    *cfg = nimbus_cfg{};
}

const char *nimbus_scope_of(const nimbus_cfg *cfg) {
    if (cfg != nullptr && cfg->scope != nullptr && cfg->scope[0] != '\0')
        return cfg->scope;
    return NIMBUS_DEFAULT_SCOPE;
}

int32_t nimbus_page_size_of(const nimbus_cfg *cfg) {
    if (cfg != nullptr && cfg->page_size >= 1 && cfg->page_size <= NIMBUS_MAX_PAGE_SIZE)
        return cfg->page_size;
    return NIMBUS_DEFAULT_PAGE_SIZE;
}

namespace {

// The text of the first member named key: a string as it stands, an integer
// in decimal, a boolean as "true"/"false". Anything else counts as absent.
const char *sval(yyjson_val *obj, const char *key, char scratch[32]) {
    yyjson_val *v = nimbus_json_member(obj, key);
    if (yyjson_is_str(v))
        return yyjson_get_str(v);
    if (yyjson_is_uint(v)) {
        std::snprintf(scratch, 32, "%llu", static_cast<unsigned long long>(yyjson_get_uint(v)));
        return scratch;
    }
    if (yyjson_is_sint(v)) {
        std::snprintf(scratch, 32, "%lld", static_cast<long long>(yyjson_get_sint(v)));
        return scratch;
    }
    if (yyjson_is_bool(v))
        return yyjson_get_bool(v) ? "true" : "false";
    return nullptr;
}

inline bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// An owned copy without leading and trailing TAB, LF, CR and SPACE; null
// when nothing is left, or when memory is short (then *oom is set).
char *trimdup(const char *text, bool *oom) {
    if (text == nullptr)
        return nullptr;
    while (blank(*text))
        text++;
    size_t n = std::strlen(text);
    while (n > 0 && blank(text[n - 1]))
        n--;
    if (n == 0)
        return nullptr;
    char *copy = nimbus_strndup(text, n);
    if (copy == nullptr)
        *oom = true;
    return copy;
}

int fail(nimbus_cfg *cfg, char *msg, size_t size, const char *text) {
    nimbus_cfg_free(cfg);
    nimbus_msgf(msg, size, "%s", text);
    return NIMBUS_E_INVALID;
}

} // namespace

int32_t nimbus_walk_threads_of(const nimbus_cfg *cfg) {
    if (cfg != nullptr && cfg->walk_threads >= 1 && cfg->walk_threads <= NIMBUS_MAX_WALK_THREADS)
        return cfg->walk_threads;
    return 4;
}
