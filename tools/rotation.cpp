// The rotation watch: a decorator over the command's transport table.
#include "rotation.h"
#include "text.h"

#include "json_doc.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace cli {
namespace {

constexpr size_t kMaxToken = 8192; // the library refuses longer refresh tokens itself

// A token as the library takes it: 1 to 8 KiB, no control characters.
bool token_ok(const std::string &token) {
    return !token.empty() && token.size() <= kMaxToken && !has_control(token);
}

int f_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    const nimbus_io *inner = static_cast<const rotation_watch *>(ctx)->inner();
    return inner->get(inner->ctx, url, body, status, error);
}

int f_post(void *ctx, const char *url, const char *body, const char *content_type, char **answer,
           int32_t *status, char **error) {
    try {
        return static_cast<rotation_watch *>(ctx)->post(url, body, content_type, answer, status,
                                                        error);
    } catch (...) {
        return -1;
    }
}

void f_free(void *ctx, void *text) {
    const nimbus_io *inner = static_cast<const rotation_watch *>(ctx)->inner();
    inner->free(inner->ctx, text);
}

} // namespace

const char *token_url() {
    return "https://login.microsoftonline.com/common/oauth2/v2.0/token";
}

rotation_watch::rotation_watch(const nimbus_io *inner) : inner_(inner) {
    io_.ctx = this;
    io_.get = f_get;
    io_.post = f_post;
    io_.free = inner->free ? f_free : nullptr;
}

std::string rotation_watch::rotated() const {
    std::lock_guard<std::mutex> hold(lock_);
    return rotated_;
}

std::string rotation_watch::refusal() const {
    std::lock_guard<std::mutex> hold(lock_);
    return refusal_;
}

int rotation_watch::post(const char *url, const char *body, const char *content_type, char **answer,
                         int32_t *status, char **error) {
    int rc = inner_->post(inner_->ctx, url, body, content_type, answer, status, error);
    if (rc != 0 || !url || std::strcmp(url, token_url()) != 0 || !*answer)
        return rc;
    doc_ptr doc = read_json(*answer, std::strlen(*answer));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root))
        return rc;
    std::string access = str_member(root, "access_token");
    std::string fresh = str_member(root, "refresh_token");
    std::string refused = str_member(root, "error");
    std::lock_guard<std::mutex> hold(lock_);
    if (*status == 200 && token_ok(access)) {
        // Only what the library itself would accept as a rotated token.
        if (token_ok(fresh))
            rotated_ = fresh;
        refusal_.clear();
    } else if (!refused.empty()) {
        refusal_ = refused.substr(0, 127);
    }
    return rc;
}

} // namespace cli
