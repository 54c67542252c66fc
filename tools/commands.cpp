// The subcommands. list and stream go through the context's drive handle
// (entries arrive typed, a rotated refresh token is stored on the way);
// validate and the JSON entry form of stream use the flat exports, whose
// answers the command prints or reads back.
#include "commands.h"

#include "answers.h"
#include "context.h"
#include "json_doc.h"
#include "output.h"

#include <nimbus.h>
#include <yyjson.h>

#include <cstdio>
#include <memory>

namespace cli {
namespace {

// "/" and "" name the configured root; a trailing slash is dropped.
std::string folder_arg(const std::string &folder) {
    std::string f = folder;
    while (f.size() > 1 && f.back() == '/')
        f.pop_back();
    return f == "/" ? std::string() : f;
}

// The library takes an argument without a leading "/" for an item id. A
// person who typed a folder name (list Music) learns why it was not found;
// it is not retried as a path, since an id without "!" (a OneDrive for
// Business id) cannot be told from a name, and a retry could list another
// folder than the one meant.
std::string id_not_found(const std::string &arg) {
    return "item id " + arg + " not found; paths start with /";
}

bool taken_for_id(const std::string &arg) {
    return !arg.empty() && arg[0] != '/' && arg[0] != '{' && arg[0] != '"';
}

// A listing as it arrives: the table's rows, or with --json the answer
// nimbus_list would give.
struct listing {
    listing(bool as, const std::string &folder, bool media) : as_json(as), json(folder, media) {}
    bool as_json;
    listing_json json;
    std::vector<listing_row> rows;

    static int take(void *ctx, const nimbus_entry *entry) {
        auto *l = static_cast<listing *>(ctx);
        try {
            if (l->as_json)
                l->json.add(*entry);
            else
                l->rows.push_back(row_of(*entry));
            return 0;
        } catch (...) {
            return 1; // out of memory: the walk stops
        }
    }
};

// The one file a stream argument names.
struct found {
    bool folder = false;
    bool has_url = false;
    std::string url, id, name;
    int64_t size = -1;

    static int take(void *ctx, const nimbus_entry *entry) {
        auto *f = static_cast<found *>(ctx);
        try {
            f->folder = entry->folder != 0;
            f->has_url = entry->download_url != nullptr;
            f->url = entry->download_url ? entry->download_url : "";
            f->id = entry->id ? entry->id : "";
            f->name = entry->name ? entry->name : "";
            f->size = entry->size;
            return 0;
        } catch (...) {
            return 1;
        }
    }
};

// An entry the user wrote as JSON ({"id":...}, a JSON string) is the
// library's own entry form: it goes to nimbus_stream_url as it is.
bool given_as_json(const std::string &entry) {
    return !entry.empty() && (entry[0] == '{' || entry[0] == '"');
}

int failed(context &ctx, const std::string &entry, int rc, const std::string &message) {
    print_failure(("stream " + entry).c_str(), rc, message.c_str());
    ctx.explain_failure(rc);
    return exit_for(rc);
}

// A path or item id, looked up through the handle.
int stream_item(context &ctx, const options &o, const std::string &entry) {
    found f;
    int rc = nimbus_drive_item(ctx.drive(), entry.c_str(), found::take, &f);
    ctx.after_request();
    if (ctx.stopped())
        return EXIT_INTERRUPTED;
    if (rc == NIMBUS_E_NOT_FOUND && taken_for_id(entry))
        return failed(ctx, entry, rc, id_not_found(entry));
    if (rc != NIMBUS_OK)
        return failed(ctx, entry, rc, nimbus_last_error());
    if (f.folder)
        return failed(ctx, entry, NIMBUS_E_IS_FOLDER, entry + " is a folder, not a playable file");
    if (!f.has_url)
        return failed(ctx, entry, NIMBUS_E_UNSUPPORTED, entry + " carries no download URL");
    if (o.json)
        std::printf("%s\n",
                    locator_json(f.url.c_str(), f.id.c_str(), f.name.c_str(), f.size).c_str());
    else
        print_locator(stdout, f.url, f.name, f.size);
    return EXIT_OK;
}

// The JSON entry form, through the flat export.
int stream_json(context &ctx, const options &o, const std::string &entry) {
    int rc = nimbus_stream_url(ctx.settings().c_str(), entry.c_str(), nullptr, 0);
    ctx.after_request();
    if (ctx.stopped())
        return EXIT_INTERRUPTED;
    if (rc != NIMBUS_OK)
        return failed(ctx, entry, rc, nimbus_last_error());
    std::string answer = nimbus_result_json();
    std::string error;
    if (o.json) {
        std::printf("%s\n", answer.c_str());
    } else if (!print_locator(stdout, answer, &error)) {
        print_error("stream " + entry + ": " + error);
        return EXIT_OTHER;
    }
    return EXIT_OK;
}

} // namespace

int run_list(const options &o) {
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    std::vector<std::string> folders = o.args;
    if (folders.empty())
        folders.push_back("/");
    // The JSON carries the media keys when the settings ask nimbus_list for them.
    bool media = o.json && wants_metadata(ctx.settings());
    int status = EXIT_OK;
    for (size_t i = 0; i < folders.size(); i++) {
        std::string folder = folder_arg(folders[i]);
        listing l(o.json, folder, media);
        int rc = nimbus_drive_list(ctx.drive(), folder.c_str(), listing::take, &l);
        ctx.after_request();
        if (ctx.stopped())
            return EXIT_INTERRUPTED;
        if (rc != NIMBUS_OK) {
            std::string error = nimbus_last_error();
            if (rc == NIMBUS_E_NOT_FOLDER)
                error = folders[i] + " is a file, not a folder";
            else if (rc == NIMBUS_E_NOT_FOUND && taken_for_id(folders[i]))
                error = id_not_found(folders[i]);
            print_failure(("list " + folders[i]).c_str(), rc, error.c_str());
            ctx.explain_failure(rc);
            if (status == EXIT_OK)
                status = exit_for(rc);
            continue;
        }
        if (o.json) {
            std::printf("%s\n", l.json.finish().c_str());
            continue;
        }
        if (folders.size() > 1)
            std::printf("%s%s:\n", i ? "\n" : "", printable(folders[i]).c_str());
        print_listing(stdout, std::move(l.rows), o.long_form);
    }
    return status;
}

int run_stream(const options &o) {
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    int status = EXIT_OK;
    for (const std::string &entry : o.args) {
        int rc = given_as_json(entry) ? stream_json(ctx, o, entry) : stream_item(ctx, o, entry);
        if (rc == EXIT_INTERRUPTED)
            return rc;
        if (status == EXIT_OK)
            status = rc;
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

    doc_ptr doc = read_json(answer);
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
        if (!token.empty() && ctx.keep_token(token)) {
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
    if (!store_members(ctx.path(), updates, &ctx.identity(), &error, settings_lock_wait(o))) {
        if (ctx.stopped())
            return EXIT_INTERRUPTED;
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
