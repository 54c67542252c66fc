// The command's context: settings, transport, the drive handle and the
// refresh tokens the service rotates.
#include "context.h"
#include "signals.h"

#include "demo/demo.h"
#include "json_doc.h"
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace cli {
namespace {

int n_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    auto *c = static_cast<context *>(ctx);
    int rc = c->inner()->get(c->inner()->ctx, url, body, status, error);
    c->note(false, url);
    return rc;
}

int n_post(void *ctx, const char *url, const char *body, const char *content_type, char **answer,
           int32_t *status, char **error) {
    auto *c = static_cast<context *>(ctx);
    int rc = c->inner()->post(c->inner()->ctx, url, body, content_type, answer, status, error);
    c->note(true, url);
    return rc;
}

void n_free(void *ctx, void *text) {
    const nimbus_io *inner = static_cast<context *>(ctx)->inner();
    inner->free(inner->ctx, text);
}

// The handle's rotation callback: the token is stored before the call that
// got it returns. Nothing may be thrown back into the library.
void on_token(void *ctx, const char *token) {
    try {
        static_cast<context *>(ctx)->keep_token(token ? token : "");
    } catch (...) {
        print_error("warning: the rotated refresh token was not stored");
    }
}

} // namespace

curl_settings transport_settings(const options &o) {
    curl_settings cs;
    cs.timeout_s = o.timeout_s;
    cs.connect_to = o.connect_to;
    cs.cacert = o.cacert;
    cs.verbose = o.verbose;
    cs.retries = o.retries;
    cs.max_time_s = o.max_time_s;
    cs.started = o.started;
    cs.announce_waits = !o.quiet && isatty(STDERR_FILENO) == 1;
    // A gateway's client waits for its answer: rather than pause for long,
    // the gateway hands the service's Retry-After on with a 503.
    if (o.command == "serve")
        cs.max_wait_s = kServeMaxWait;
    return cs;
}

lock_wait settings_lock_wait(const options &o) {
    lock_wait w;
    w.max_time_s = o.max_time_s;
    w.started = o.started;
    return w;
}

std::string with_page_size(const std::string &settings, int size, bool force) {
    doc_ptr doc = read_json(settings);
    yyjson_val *root = root_of(doc);
    bool object = yyjson_is_obj(root);
    bool stored = object && yyjson_obj_get(root, "PageSize") != nullptr;
    bool empty = object && yyjson_obj_size(root) == 0;
    doc.reset();
    if (!object || (stored && !force))
        return settings;
    size_t brace = settings.find('{');
    if (brace == std::string::npos)
        return settings;
    std::string member = "\"PageSize\":" + std::to_string(size) + (empty ? "" : ",");
    return settings.substr(0, brace + 1) + member + settings.substr(brace + 1);
}

std::string with_header_markers(const std::string &settings) {
    doc_ptr doc = read_json(settings);
    yyjson_val *root = root_of(doc);
    if (!yyjson_is_obj(root))
        return settings;
    bool empty = yyjson_obj_size(root) == 0;
    doc.reset();
    // The first member of a key counts: a value in the file cannot undo it.
    size_t brace = settings.find('{');
    return settings.substr(0, brace + 1) + "\"HeaderMarkers\":true" + (empty ? "" : ",") +
           settings.substr(brace + 1);
}

context::~context() {
    // The handle goes first: it uses the table, which uses the transport.
    nimbus_drive_close(drive_);
    if (inner_)
        nimbus_set_io(nullptr);
    if (curl_) {
        curl_.reset();
        curl_shutdown();
    }
}

int context::open(bool catch_ctrl_c) {
    std::string error;
    if (o_.demo) {
        settings_ = with_page_size(demo_settings(), o_.page_size, o_.page_size_given);
        if (!demo_start(settings_, o_.page_size, &error)) {
            print_error("demo: " + error);
            return EXIT_OTHER;
        }
        inner_ = demo_io();
    } else {
        path_ = o_.settings_path.empty() ? default_settings_path() : o_.settings_path;
        if (!read_settings(path_, &settings_, &error, &identity_)) {
            print_error(error);
            if (access(path_.c_str(), F_OK) != 0 && errno == ENOENT)
                print_error("to write one, sign in with `nimbus login --client-id ID` "
                            "(see nimbus help login)");
            return EXIT_SETTINGS;
        }
        known_ = settings_value(settings_, refresh_token_key(settings_, "refresh_token"));
        settings_ = with_page_size(settings_, o_.page_size, o_.page_size_given);
        // The command's transport sends the headers the library asks for.
        settings_ = with_header_markers(settings_);
        curl_.reset(new curl_transport(transport_settings(o_)));
        inner_ = curl_->table();
        if (catch_ctrl_c)
            catch_interrupt();
    }
    io_.ctx = this;
    io_.get = n_get;
    io_.post = n_post;
    io_.free = inner_->free ? n_free : nullptr;
    int rc = nimbus_drive_open(settings_.c_str(), &io_, &drive_);
    if (rc != NIMBUS_OK) {
        print_failure(o_.command.c_str(), rc, nimbus_last_error());
        return exit_for(rc);
    }
    if (!o_.demo)
        nimbus_drive_on_token(drive_, on_token, this);
    // The flat exports (the --json answers) take the same table.
    if (nimbus_set_io(&io_) != NIMBUS_OK) {
        print_error("the library refused the transport table");
        return EXIT_OTHER;
    }
    return EXIT_OK;
}

bool context::stopped() const {
    if (!curl_ || !interrupted())
        return false;
    std::fprintf(stderr, "nimbus: interrupted\n");
    return true;
}

bool context::keep_token(const std::string &token) {
    std::lock_guard<std::mutex> hold(keep_lock_);
    if (o_.demo || token.empty() || token == known_ || token == tried_)
        return true;
    tried_ = token;
    std::string now, error;
    if (read_settings(path_, &now, &error)) {
        std::string key = refresh_token_key(now, "refresh_token");
        std::string stored = settings_value(now, key);
        if (stored != token && stored != known_)
            return true; // another run stored its own rotation: that one stays
        if (stored == token ||
            store_members(path_, {{key, token}}, &identity_, &error, settings_lock_wait(o_))) {
            known_ = token;
            return true;
        }
    }
    kept_ = false;
    print_error("warning: the rotated refresh token could not be stored: " + error);
    return false;
}

bool context::signed_in_again() const {
    if (o_.demo)
        return false;
    std::string now, error;
    if (!read_settings(path_, &now, &error))
        return false;
    std::string token = settings_value(now, refresh_token_key(now, "refresh_token"));
    std::lock_guard<std::mutex> hold(keep_lock_);
    return !token.empty() && token != known_ && token != tried_;
}

bool context::own_token(const std::string &token) const {
    std::lock_guard<std::mutex> hold(keep_lock_);
    return !token.empty() && (token == known_ || token == tried_);
}

bool context::keep_rotation() const {
    std::lock_guard<std::mutex> hold(keep_lock_);
    return kept_;
}

void context::note(bool post, const char *url) {
    (post ? posts_ : gets_)++;
    if (o_.demo && o_.verbose) {
        std::lock_guard<std::mutex> hold(last_lock_);
        last_url_ = url ? url : "";
    }
}

long context::paused_for() const {
    return curl_ ? curl_->paused_for() : 0;
}

void context::explain_failure(int rc) {
    if (rc != NIMBUS_E_SIGNIN || explained_.exchange(true))
        return;
    print_error("the sign-in was refused (expired, revoked, or the application's secret "
                "expired): sign in again with `nimbus login`");
}

void context::after_request() {
    if (!o_.demo || !o_.verbose)
        return;
    int posts = posts_, gets = gets_;
    int token = posts - seen_posts_, graph = gets - seen_gets_;
    std::string last;
    {
        std::lock_guard<std::mutex> hold(last_lock_);
        last = last_url_;
    }
    size_t marker = last.find(NIMBUS_BEARER_MARKER);
    if (marker != std::string::npos)
        last.erase(marker);
    std::fprintf(
        stderr, "demo: the demo drive served %d token and %d Graph request%s, the last %s\n", token,
        graph, graph == 1 ? "" : "s", printable(nimbus_redact(last.c_str())).c_str());
    seen_posts_ = posts;
    seen_gets_ = gets;
}

} // namespace cli
