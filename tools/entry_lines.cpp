// The entries of a walk or a search, one a line (see entry_lines.h).
#include "entry_lines.h"

#include "answers.h"
#include "output.h"

#include <cstdio>
#include <unistd.h>

namespace cli {

entry_lines::entry_lines(const options *o) : o_(o) {
    tty_ = isatty(2) == 1 && !o->quiet;
}

// No exception may cross the library's frames: out of memory stops the walk.
int entry_lines::take(void *ctx, const nimbus_entry *e) {
    try {
        static_cast<entry_lines *>(ctx)->print(e);
        return 0;
    } catch (...) {
        return 1;
    }
}

void entry_lines::done() {
    if (progress_shown_)
        std::fprintf(stderr, "\r\033[K");
}

void entry_lines::print(const nimbus_entry *e) {
    entries_++;
    if (e->folder)
        folders_++;
    if (name_wanted(*o_, e->name)) {
        std::string where = printable(e->path ? e->path : e->id ? e->id : "");
        if (o_->json)
            std::printf("%s\n", entry_json(*e, nullptr, NIMBUS_ENTRY_LINE).c_str());
        else if (o_->long_form)
            std::printf("%10s  %-16s  %s  %s%s\n", human_size(e->size).c_str(),
                        utc_minutes(e->mtime_ms).c_str(),
                        fit_columns(media_text(*e), MEDIA_COLUMNS).c_str(), where.c_str(),
                        e->folder ? "/" : "");
        else
            std::printf("%s%s\n", where.c_str(), e->folder ? "/" : "");
    }
    tick();
}

// A progress line once the command has run a second, at most five a second.
void entry_lines::tick() {
    if (!tty_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - shown_ < std::chrono::milliseconds(200))
        return;
    shown_ = now;
    progress_shown_ = true;
    std::fflush(stdout);
    std::fprintf(stderr, "\r%zu entries, %zu folders so far\033[K", entries_, folders_);
}

// A broken shortcut left out does not stop a walk, but the listing is
// incomplete: like find(1), say so and exit 1 at the end, so that a script
// building an index from the output can tell.
int walk_status(context &ctx, const std::string &what, int rc) {
    if (rc == NIMBUS_OK)
        return EXIT_OK;
    print_failure(what.c_str(), rc, nimbus_last_error());
    if (rc == NIMBUS_E_PARTIAL)
        return EXIT_OTHER;
    ctx.explain_failure(rc);
    return exit_for(rc);
}

} // namespace cli
