// The command's context: settings, transport and the rotated refresh token.
#include "context.h"

#include "demo/demo.h"
#include "json_doc.h"
#include "output.h"

#include <nimbus.h>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace cli {
namespace {

std::string with_page_size(const std::string &settings, int size, bool force);

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

context::~context() {
    try {
        keep_rotation();
    } catch (...) {
        print_error("warning: the rotated refresh token was not stored");
    }
    if (curl_) {
        nimbus_set_io(nullptr);
        watch_.reset();
        curl_.reset();
        curl_shutdown();
    }
}

int context::open(bool catch_ctrl_c) {
    std::string error;
    if (o_.demo) {
        if (!demo_start(&error)) {
            print_error("demo: " + error);
            return EXIT_OTHER;
        }
        settings_ = demo_settings();
        return EXIT_OK;
    }
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
    curl_.reset(new curl_transport(transport_settings(o_)));
    if (catch_ctrl_c)
        catch_interrupt();
    watch_.reset(new rotation_watch(curl_->table()));
    if (nimbus_set_io(watch_->table()) != NIMBUS_OK) {
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

std::string context::rotated() const {
    std::string token = watch_ ? watch_->rotated() : std::string();
    std::lock_guard<std::mutex> hold(keep_lock_);
    return token == known_ ? std::string() : token;
}

bool context::keep_rotation() {
    std::lock_guard<std::mutex> hold(keep_lock_);
    std::string token = watch_ ? watch_->rotated() : std::string();
    if (token.empty() || token == known_ || token == tried_)
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
    print_error("warning: the rotated refresh token could not be stored: " + error);
    return false;
}

void context::explain_failure(int rc) {
    if (rc != NIMBUS_E_AUTH || !watch_ || explained_)
        return;
    std::string why = watch_->refusal();
    if (why == "invalid_grant" || why == "interaction_required" || why == "consent_required")
        print_error("the sign-in has expired or was revoked: sign in again with `nimbus login`");
    else if (why == "invalid_client" || why == "unauthorized_client")
        print_error("the application's credentials were refused (has the client secret "
                    "expired?): sign in again with `nimbus login`");
    else
        return;
    explained_ = true;
}

void context::after_request() {
    if (!o_.demo || !o_.verbose)
        return;
    int total = nimbus_fake_calls(nullptr, nullptr);
    int token = nimbus_fake_calls("POST", demo_token_url());
    int graph = total - token - (seen_ - seen_token_);
    std::string last = nimbus_fake_last_url();
    std::fprintf(stderr,
                 "demo: the fake transport served %d token and %d Graph request%s, the last %s\n",
                 token - seen_token_, graph, graph == 1 ? "" : "s",
                 printable(nimbus_redact(last.c_str())).c_str());
    seen_ = total;
    seen_token_ = token;
}

namespace {

// The settings text with "PageSize" first, so the library reads it before
// any stored one; without force a stored PageSize is kept. Text that is not
// a JSON object passes unchanged for the library to report.
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

} // namespace
} // namespace cli
