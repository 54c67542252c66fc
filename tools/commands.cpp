// The subcommands. Each request goes through the flat exports without an
// output buffer, so any answer size works and the JSON is read back with
// nimbus_result_json().
#include "commands.h"

#include "curl_io.h"
#include "demo.h"
#include "output.h"
#include "settings_file.h"

#include <nimbus.h>
#include <yyjson.h>

#include <cstdio>
#include <memory>

namespace cli {
namespace {

// What a request needs: the settings text and a selected transport. The
// curl transport stays alive (and selected) until this object goes away.
class context {
  public:
    explicit context(const options &o) : o_(o) {}
    ~context() {
        if (curl_) {
            nimbus_set_io(nullptr);
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
        curl_settings cs;
        cs.timeout_s = o_.timeout_s;
        cs.connect_to = o_.connect_to;
        cs.cacert = o_.cacert;
        cs.verbose = o_.verbose;
        curl_.reset(new curl_transport(cs));
        if (nimbus_set_io(curl_->table()) != NIMBUS_OK) {
            print_error("the library refused the transport table");
            return EXIT_OTHER;
        }
        return EXIT_OK;
    }

    const std::string &settings() const { return settings_; }
    const std::string &path() const { return path_; }
    const file_identity &identity() const { return identity_; }

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
    std::string settings_;
    std::string path_;
    file_identity identity_;
    int seen_ = 0;
    int seen_token_ = 0;
};

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
        int rc = nimbus_list(ctx.settings().c_str(), folder_arg(folders[i]).c_str(), nullptr, 0);
        ctx.after_request();
        if (rc != NIMBUS_OK) {
            print_failure(("list " + folders[i]).c_str(), rc, nimbus_last_error());
            if (status == EXIT_OK)
                status = exit_for(rc);
            continue;
        }
        std::string answer = nimbus_result_json();
        if (o.json) {
            std::printf("%s\n", answer.c_str());
            continue;
        }
        if (folders.size() > 1)
            std::printf("%s%s:\n", i ? "\n" : "", printable(folders[i]).c_str());
        std::string error;
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
        if (rc != NIMBUS_OK) {
            print_failure(("stream " + entry).c_str(), rc, nimbus_last_error());
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
    if (rc != NIMBUS_OK) {
        print_failure("validate", rc, nimbus_last_error());
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

    std::vector<member> updates;
    std::vector<std::string> what;
    for (const char *answer_key : {"refresh_token", "RefreshToken"}) {
        yyjson_val *v = yyjson_obj_get(root, answer_key);
        if (!yyjson_is_str(v))
            continue;
        std::string key = refresh_token_key(ctx.settings(), answer_key);
        updates.emplace_back(key, std::string(yyjson_get_str(v), yyjson_get_len(v)));
        what.push_back("the rotated refresh token as \"" + key + "\"");
    }
    yyjson_val *id = yyjson_obj_get(root, "ID");
    if (yyjson_is_str(id)) {
        updates.emplace_back("ID", std::string(yyjson_get_str(id), yyjson_get_len(id)));
        what.push_back("the new ID " + json_string(updates.back().second));
    }

    if (updates.empty()) {
        std::fprintf(notes, "nothing to store: the settings are up to date\n");
        return EXIT_OK;
    }
    if (!o.write) {
        for (const std::string &w : what)
            std::fprintf(notes, "would store %s\n", printable(w).c_str());
        if (o.demo)
            std::fprintf(notes, "(the demo has no settings file to store them in)\n");
        else
            std::fprintf(notes, "run `nimbus validate --write` to store them in %s\n",
                         printable(ctx.path()).c_str());
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
    if (o.json)
        std::printf("{\"version\":%s,\"runtime_type\":%s,\"caps\":%d,\"curl\":%s}\n",
                    json_string(nimbus_version()).c_str(),
                    json_string(nimbus_runtime_type()).c_str(), nimbus_caps(),
                    json_string(curl_version_text()).c_str());
    else
        std::printf("nimbus %s (%s, caps %d)\n%s\n", nimbus_version(), nimbus_runtime_type(),
                    nimbus_caps(), curl_version_text());
    return EXIT_OK;
}

} // namespace cli
