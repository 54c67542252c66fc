// nimbus list: folders through the context's drive handle, each listed
// whole (entries arrive typed, a rotated refresh token is stored on the
// way); with -R a tree over the library's walk, one entry a line as it
// arrives.
#include "answers.h"
#include "commands.h"
#include "context.h"
#include "entry_lines.h"
#include "output.h"

#include <nimbus.h>

#include <cstdio>
#include <string>
#include <vector>

namespace cli {
namespace {

// A listing as it arrives: the table's rows, or with --json the answer
// nimbus_list would give, of the entries --include and --exclude let by.
struct listing {
    listing(const options &opts, const std::string &folder, bool media)
        : o(opts), json(folder, media) {}
    const options &o;
    listing_json json;
    std::vector<listing_row> rows;

    static int take(void *ctx, const nimbus_entry *entry) {
        auto *l = static_cast<listing *>(ctx);
        if (!name_wanted(l->o, entry->name))
            return 0;
        try {
            if (l->o.json)
                l->json.add(*entry);
            else
                l->rows.push_back(row_of(*entry));
            return 0;
        } catch (...) {
            return 1; // out of memory: the walk stops
        }
    }
};

// One folder after another, each listed whole and printed as a table or
// as the JSON nimbus_list would answer.
int list_folders(const options &o) {
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
        listing l(o, folder, media);
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

} // namespace

int run_list(const options &o) {
    if (!o.recursive)
        return list_folders(o);
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    std::vector<std::string> folders = o.args;
    if (folders.empty())
        folders.push_back("/");
    int status = EXIT_OK;
    for (const std::string &f : folders) {
        entry_lines p(&o);
        int rc = nimbus_drive_walk(ctx.drive(), folder_arg(f).c_str(),
                                   static_cast<int>(o.max_depth), entry_lines::take, &p);
        p.done();
        ctx.after_request();
        if (ctx.stopped())
            return EXIT_INTERRUPTED;
        int s = walk_status(ctx, "list -R " + f, rc);
        if (status == EXIT_OK)
            status = s;
    }
    return status;
}

} // namespace cli
