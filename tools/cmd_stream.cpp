// nimbus stream: the download URL of each file named, looked up through
// the context's drive handle; an entry written as JSON (the library's own
// entry form) goes through the flat export nimbus_stream_url as it is.
#include "answers.h"
#include "commands.h"
#include "context.h"
#include "output.h"

#include <nimbus.h>

#include <cstdio>
#include <string>

namespace cli {
namespace {

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
        print_locator(stdout, f.url, f.name, f.size, o.long_form);
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
    } else if (!print_locator(stdout, answer, o.long_form, &error)) {
        print_error("stream " + entry + ": " + error);
        return EXIT_OTHER;
    }
    return EXIT_OK;
}

} // namespace

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

} // namespace cli
