// nimbus list -R and nimbus search: a folder tree or a search answer, one
// entry per line as the library hands them out, over the drive handle.
#include "commands.h"
#include "context.h"
#include "output.h"

#include <nimbus.h>

#include <chrono>
#include <cstdio>
#include <fnmatch.h>
#include <string>
#include <unistd.h>

namespace cli {
namespace {

// The entries as they arrive, printed at once; a progress line on a
// terminal's stderr once the command has run a second.
struct printer {
    const options *o;
    size_t entries = 0, folders = 0;
    bool progress_shown = false;
    bool tty = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point shown{};

    explicit printer(const options *opts) : o(opts) { tty = isatty(2) == 1 && !opts->quiet; }

    // --include and --exclude match the name, as a shell pattern.
    bool wanted(const char *name) const {
        if (!o->include.empty() && fnmatch(o->include.c_str(), name, 0) != 0)
            return false;
        return o->exclude.empty() || fnmatch(o->exclude.c_str(), name, 0) != 0;
    }

    void print(const nimbus_entry *e) {
        entries++;
        if (e->folder)
            folders++;
        if (wanted(e->name)) {
            std::string where = printable(e->path ? e->path : e->id ? e->id : "");
            if (o->json)
                std::printf("%s\n", json_line(*e).c_str());
            else if (o->long_form)
                std::printf("%10s  %-16s  %s  %s%s\n", human_size(e->size).c_str(),
                            utc_minutes(e->mtime_ms).c_str(),
                            fit_columns(media_text(*e), MEDIA_COLUMNS).c_str(), where.c_str(),
                            e->folder ? "/" : "");
            else
                std::printf("%s%s\n", where.c_str(), e->folder ? "/" : "");
        }
        tick();
    }

    // One entry a line, its media values null when the service gave none;
    // the tree's own form (a path from the root, the frame size), not a
    // listing's object.
    static std::string json_line(const nimbus_entry &e) {
        auto text = [](const char *value) { return value ? json_string(value) : "null"; };
        auto number = [](int64_t value) { return value ? std::to_string(value) : "null"; };
        return "{\"path\":" + text(e.path) + ",\"name\":" + text(e.name) +
               (e.folder ? ",\"folder\":true" : ",\"folder\":false") +
               ",\"size\":" + std::to_string(e.size) + ",\"id\":" + text(e.id) +
               ",\"mtime_ms\":" + std::to_string(e.mtime_ms) +
               ",\"mime_type\":" + text(e.mime_type) + ",\"media_type\":" + text(e.media_type) +
               ",\"title\":" + text(e.title) + ",\"artist\":" + text(e.artist) +
               ",\"album\":" + text(e.album) + ",\"track\":" + number(e.track) +
               ",\"year\":" + number(e.year) + ",\"duration_ms\":" + number(e.duration_ms) +
               ",\"width\":" + number(e.width) + ",\"height\":" + number(e.height) + "}";
    }

    void tick() {
        if (!tty)
            return;
        auto now = std::chrono::steady_clock::now();
        if (now - start < std::chrono::seconds(1) || now - shown < std::chrono::milliseconds(200))
            return;
        shown = now;
        progress_shown = true;
        std::fflush(stdout);
        std::fprintf(stderr, "\r%zu entries, %zu folders so far\033[K", entries, folders);
    }

    void done() {
        if (progress_shown)
            std::fprintf(stderr, "\r\033[K");
    }

    // No exception may cross the library's frames: out of memory stops the walk.
    static int take(void *ctx, const nimbus_entry *e) {
        try {
            static_cast<printer *>(ctx)->print(e);
            return 0;
        } catch (...) {
            return 1;
        }
    }
};

std::string folder_of(const std::string &folder) {
    std::string f = folder;
    while (f.size() > 1 && f.back() == '/')
        f.pop_back();
    return f == "/" ? std::string() : f;
}

// A walk's result. A broken shortcut left out does not stop the walk, but
// the listing is incomplete: like find(1), say so and exit 1 at the end, so
// that a script building an index from the output can tell.
int report(context &ctx, const std::string &what, int rc) {
    if (rc == NIMBUS_OK)
        return EXIT_OK;
    print_failure(what.c_str(), rc, nimbus_last_error());
    if (rc == NIMBUS_E_PARTIAL)
        return EXIT_OTHER;
    ctx.explain_failure(rc);
    return exit_for(rc);
}

} // namespace

int run_list_any(const options &o) {
    if (!o.recursive)
        return run_list(o);
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    std::vector<std::string> folders = o.args;
    if (folders.empty())
        folders.push_back("/");
    int status = EXIT_OK;
    for (const std::string &f : folders) {
        printer p(&o);
        int rc = nimbus_drive_walk(ctx.drive(), folder_of(f).c_str(), static_cast<int>(o.max_depth),
                                   printer::take, &p);
        p.done();
        ctx.after_request();
        if (ctx.stopped())
            return EXIT_INTERRUPTED;
        int s = report(ctx, "list -R " + f, rc);
        if (status == EXIT_OK)
            status = s;
    }
    return status;
}

int run_search(const options &o) {
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    printer p(&o);
    int rc = nimbus_drive_search(ctx.drive(), o.args[0].c_str(), printer::take, &p);
    p.done();
    ctx.after_request();
    if (ctx.stopped())
        return EXIT_INTERRUPTED;
    return report(ctx, "search " + o.args[0], rc);
}

} // namespace cli
