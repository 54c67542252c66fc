// The subcommands. Each request goes through the flat exports without an
// output buffer, so any answer size works and the JSON is read back with
// nimbus_result_json().
#include "commands.h"

#include "curl_io.h"
#include "demo.h"
#include "output.h"
#include "rotation.h"
#include "settings_file.h"

#include <nimbus.h>
#include <yyjson.h>

#include <cstdio>
#include <memory>

namespace cli {
namespace {

std::string with_page_size(const std::string &settings, int size, bool force);

// What a request needs: the settings text and a selected transport. The
// curl transport stays alive (and selected) until this object goes away; a
// refresh token the service rotated meanwhile is stored before that.
class context {
  public:
    explicit context(const options &o) : o_(o) {}
    ~context() {
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

    // On failure prints the reason and returns its exit status; 0 when ready.
    int open() {
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
            return EXIT_SETTINGS;
        }
        settings_ = with_page_size(settings_, o_.page_size, o_.page_size_given);
        curl_settings cs;
        cs.timeout_s = o_.timeout_s;
        cs.connect_to = o_.connect_to;
        cs.cacert = o_.cacert;
        cs.verbose = o_.verbose;
        cs.retries = o_.retries;
        cs.max_time_s = o_.max_time_s;
        cs.started = o_.started;
        curl_.reset(new curl_transport(cs));
        catch_interrupt();
        watch_.reset(new rotation_watch(curl_->table()));
        if (nimbus_set_io(watch_->table()) != NIMBUS_OK) {
            print_error("the library refused the transport table");
            return EXIT_OTHER;
        }
        return EXIT_OK;
    }

    // What the library gets (the stored settings with --page-size applied).
    const std::string &settings() const { return settings_; }
    const std::string &path() const { return path_; }
    const file_identity &identity() const { return identity_; }

    // After Ctrl-C the request in hand failed on purpose: say so once, stop.
    bool stopped() const {
        if (!curl_ || !interrupted())
            return false;
        std::fprintf(stderr, "nimbus: interrupted\n");
        return true;
    }

    // The refresh token the service rotated, when it differs from the one the
    // settings hold ("" otherwise, and always in the demo).
    std::string rotated() const {
        std::string token = watch_ ? watch_->rotated() : std::string();
        return token == settings_value(settings_, refresh_token_key(settings_, "refresh_token"))
                   ? std::string()
                   : token;
    }

    // Stores a rotated refresh token in the settings file, once, into the
    // file this run read (or the one a locked write of another run left in
    // its place). When another run stored its own rotation meanwhile, that
    // one stays. A failure prints one warning; the command's result stands.
    bool keep_rotation() {
        std::string token = rotated();
        if (kept_ || token.empty())
            return true;
        kept_ = true;
        std::string presented =
            settings_value(settings_, refresh_token_key(settings_, "refresh_token"));
        std::string now, error;
        if (read_settings(path_, &now, &error)) {
            std::string key = refresh_token_key(now, "refresh_token");
            std::string stored = settings_value(now, key);
            if (stored == token || stored != presented)
                return true;
            if (store_members(path_, {{key, token}}, &identity_, &error))
                return true;
        }
        print_error("warning: the rotated refresh token could not be stored: " + error);
        return false;
    }

    // A refused grant is not mended by retrying: say how to get a new token.
    void explain_failure(int rc) {
        if (rc != NIMBUS_E_AUTH || !watch_ || explained_)
            return;
        std::string why = watch_->refusal();
        if (why == "invalid_grant" || why == "interaction_required" || why == "consent_required")
            print_error(
                "the sign-in has expired or was revoked: sign in again with `nimbus login`");
        else if (why == "invalid_client" || why == "unauthorized_client")
            print_error("the application's credentials were refused (has the client secret "
                        "expired?): sign in again with `nimbus login`");
        else
            return;
        explained_ = true;
    }

    // The fake transport cannot print its exchanges; say what it served.
    void after_request() {
        if (!o_.demo || !o_.verbose)
            return;
        int total = nimbus_fake_calls(nullptr, nullptr);
        int token = nimbus_fake_calls("POST", demo_token_url());
        std::string last = nimbus_fake_last_url();
        std::fprintf(
            stderr,
            "demo: the fake transport served %d token and %d Graph request%s, the last %s\n",
            token - seen_token_, total - token - (seen_ - seen_token_),
            total - token - (seen_ - seen_token_) == 1 ? "" : "s",
            printable(nimbus_redact(last.c_str())).c_str());
        seen_ = total;
        seen_token_ = token;
    }

  private:
    const options &o_;
    std::unique_ptr<curl_transport> curl_;
    std::unique_ptr<rotation_watch> watch_;
    std::string settings_;
    std::string path_;
    file_identity identity_;
    bool kept_ = false;
    bool explained_ = false;
    int seen_ = 0;
    int seen_token_ = 0;
};

// The settings text with "PageSize" first, so the library reads it before
// any stored one; without force a stored PageSize is kept. Text that is not
// a JSON object passes unchanged for the library to report.
std::string with_page_size(const std::string &settings, int size, bool force) {
    yyjson_doc *doc = yyjson_read(settings.data(), settings.size(), 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    bool object = yyjson_is_obj(root);
    bool stored = object && yyjson_obj_get(root, "PageSize") != nullptr;
    bool empty = object && yyjson_obj_size(root) == 0;
    yyjson_doc_free(doc);
    if (!object || (stored && !force))
        return settings;
    size_t brace = settings.find('{');
    if (brace == std::string::npos)
        return settings;
    std::string member = "\"PageSize\":" + std::to_string(size) + (empty ? "" : ",");
    return settings.substr(0, brace + 1) + member + settings.substr(brace + 1);
}

// "/" and "" name the configured root; a trailing slash is dropped.
std::string folder_arg(const std::string &folder) {
    std::string f = folder;
    while (f.size() > 1 && f.back() == '/')
        f.pop_back();
    return f == "/" ? std::string() : f;
}

// A path or id becomes a JSON string; JSON given by the user passes as is.
std::string entry_arg(const std::string &entry) {
    if (!entry.empty() && (entry[0] == '{' || entry[0] == '"'))
        return entry;
    return json_string(entry);
}

struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};

// A listing answer without entries.
bool no_items(const std::string &answer) {
    std::unique_ptr<yyjson_doc, doc_deleter> doc(yyjson_read(answer.data(), answer.size(), 0));
    yyjson_val *items = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "items") : nullptr;
    return yyjson_is_arr(items) && yyjson_arr_size(items) == 0;
}

// Whether the folder argument names a file: the stream locator finds one
// (with or without a download URL) and refuses folders.
bool names_file(context &ctx, const std::string &folder) {
    int rc = nimbus_stream_url(ctx.settings().c_str(), entry_arg(folder).c_str(), nullptr, 0);
    ctx.after_request();
    return rc == NIMBUS_OK || rc == NIMBUS_E_UNSUPPORTED;
}

} // namespace

int run_list(const options &o) {
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    std::vector<std::string> folders = o.args;
    if (folders.empty())
        folders.push_back("/");
    int status = EXIT_OK;
    for (size_t i = 0; i < folders.size(); i++) {
        std::string folder = folder_arg(folders[i]);
        int rc = nimbus_list(ctx.settings().c_str(), folder.c_str(), nullptr, 0);
        ctx.after_request();
        if (ctx.stopped())
            return EXIT_INTERRUPTED;
        std::string answer = rc == NIMBUS_OK ? nimbus_result_json() : std::string();
        std::string error = rc == NIMBUS_OK ? std::string() : nimbus_last_error();
        // The service lists a file as an empty folder (or not at all): ask.
        if (!folder.empty() &&
            (rc == NIMBUS_E_NOT_FOUND || (rc == NIMBUS_OK && no_items(answer))) &&
            names_file(ctx, folder)) {
            rc = NIMBUS_E_NOT_FOUND;
            error = folders[i] + " is a file, not a folder";
        }
        if (rc != NIMBUS_OK) {
            print_failure(("list " + folders[i]).c_str(), rc, error.c_str());
            ctx.explain_failure(rc);
            if (status == EXIT_OK)
                status = exit_for(rc);
            continue;
        }
        if (o.json) {
            std::printf("%s\n", answer.c_str());
            continue;
        }
        if (folders.size() > 1)
            std::printf("%s%s:\n", i ? "\n" : "", printable(folders[i]).c_str());
        if (!print_listing(stdout, answer, &error)) {
            print_error("list " + folders[i] + ": " + error);
            if (status == EXIT_OK)
                status = EXIT_OTHER;
        }
    }
    return status;
}

int run_stream(const options &o) {
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    int status = EXIT_OK;
    for (const std::string &entry : o.args) {
        int rc = nimbus_stream_url(ctx.settings().c_str(), entry_arg(entry).c_str(), nullptr, 0);
        ctx.after_request();
        if (ctx.stopped())
            return EXIT_INTERRUPTED;
        if (rc != NIMBUS_OK) {
            print_failure(("stream " + entry).c_str(), rc, nimbus_last_error());
            ctx.explain_failure(rc);
            if (status == EXIT_OK)
                status = exit_for(rc);
            continue;
        }
        std::string answer = nimbus_result_json();
        std::string error;
        if (o.json) {
            std::printf("%s\n", answer.c_str());
        } else if (!print_locator(stdout, answer, &error)) {
            print_error("stream " + entry + ": " + error);
            if (status == EXIT_OK)
                status = EXIT_OTHER;
        }
    }
    return status;
}

int run_validate(const options &o) {
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    int rc = nimbus_validate(ctx.settings().c_str(), nullptr, 0);
    ctx.after_request();
    if (ctx.stopped())
        return EXIT_INTERRUPTED;
    if (rc != NIMBUS_OK) {
        print_failure("validate", rc, nimbus_last_error());
        ctx.explain_failure(rc);
        return exit_for(rc);
    }
    std::string answer = nimbus_result_json();
    if (o.json)
        std::printf("%s\n", answer.c_str());
    // In --json mode stdout carries the answer alone; notes go to stderr.
    FILE *notes = o.json ? stderr : stdout;

    std::unique_ptr<yyjson_doc, doc_deleter> doc(yyjson_read(answer.data(), answer.size(), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) {
        print_error("validate: the answer is not a JSON object");
        return EXIT_OTHER;
    }
    yyjson_val *type = yyjson_obj_get(root, "RuntimeType");
    if (!o.json)
        std::fprintf(notes, "settings are valid (%s)\n",
                     yyjson_is_str(type) ? printable(yyjson_get_str(type)).c_str() : "?");

    // A rotated token is stored whatever --write says (every command keeps
    // it); --write adds the new ID to the same store.
    std::vector<member> updates;
    std::vector<std::string> what;
    std::string token;
    for (const char *answer_key : {"refresh_token", "RefreshToken"}) {
        yyjson_val *v = yyjson_obj_get(root, answer_key);
        if (!yyjson_is_str(v))
            continue;
        std::string key = refresh_token_key(ctx.settings(), answer_key);
        token.assign(yyjson_get_str(v), yyjson_get_len(v));
        updates.emplace_back(key, token);
        what.push_back("the rotated refresh token as \"" + key + "\"");
    }
    yyjson_val *id = yyjson_obj_get(root, "ID");
    bool new_id = yyjson_is_str(id);
    if (new_id) {
        updates.emplace_back("ID", std::string(yyjson_get_str(id), yyjson_get_len(id)));
        what.push_back("the new ID " + json_string(updates.back().second));
    }

    if (updates.empty()) {
        std::fprintf(notes, "nothing to store: the settings are up to date\n");
        return EXIT_OK;
    }
    if (o.demo) {
        for (const std::string &w : what)
            std::fprintf(notes, "would store %s\n", printable(w).c_str());
        std::fprintf(notes, "(the demo has no settings file to store them in)\n");
        return EXIT_OK;
    }
    if (!o.write) {
        if (!token.empty() && token == ctx.rotated() && ctx.keep_rotation()) {
            std::fprintf(notes, "kept %s in %s\n", printable(what.front()).c_str(),
                         printable(ctx.path()).c_str());
        }
        if (new_id) {
            std::fprintf(notes, "would store %s\n", printable(what.back()).c_str());
            std::fprintf(notes, "run `nimbus validate --write` to store it in %s\n",
                         printable(ctx.path()).c_str());
        }
        return EXIT_OK;
    }
    std::string error;
    if (!store_members(ctx.path(), updates, &ctx.identity(), &error)) {
        print_error("validate --write: " + error);
        return EXIT_OTHER;
    }
    for (const std::string &w : what)
        std::fprintf(notes, "stored %s in %s\n", printable(w).c_str(),
                     printable(ctx.path()).c_str());
    return EXIT_OK;
}

int run_redact(const options &o) {
    std::printf("%s\n", nimbus_redact(o.args[0].c_str()));
    return EXIT_OK;
}

int run_version(const options &o) {
    // The library is loaded at run time: its version may differ from the
    // header's the command was built with.
    if (o.json)
        std::printf("{\"command\":%s,\"version\":%s,\"runtime_type\":%s,\"caps\":%d,"
                    "\"curl\":%s}\n",
                    json_string(NIMBUS_VERSION_STRING).c_str(),
                    json_string(nimbus_version()).c_str(),
                    json_string(nimbus_runtime_type()).c_str(), nimbus_caps(),
                    json_string(curl_version_text()).c_str());
    else
        std::printf("nimbus command %s\nnimbus library %s (%s, caps %d)\n%s\n",
                    NIMBUS_VERSION_STRING, nimbus_version(), nimbus_runtime_type(), nimbus_caps(),
                    curl_version_text());
    return EXIT_OK;
}

} // namespace cli
