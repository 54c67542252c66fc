// nimbus validate: the settings checked by the flat export nimbus_validate,
// whose answer the command prints, and the rotated token or new ID it
// carries stored (the ID with --write only).
#include "commands.h"
#include "context.h"
#include "json_doc.h"
#include "output.h"
#include "settings_file.h"

#include <nimbus.h>
#include <yyjson.h>

#include <cstdio>
#include <string>
#include <vector>

namespace cli {

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

} // namespace cli
