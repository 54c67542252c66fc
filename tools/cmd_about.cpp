// `nimbus about`: what drive the settings reach, its owner and its space,
// as `rclone about` shows a remote's (human sizes, or exact bytes in JSON).
#include "commands.h"
#include "context.h"
#include "output.h"

#include <nimbus.h>

#include <cstdio>
#include <string>

namespace cli {
namespace {

// The library's answer, copied out of the callback.
struct about_copy {
    std::string type, owner, state;
    int64_t total = -1, used = -1, remaining = -1, deleted = -1;
};

int copy_about(void *ctx, const nimbus_about *a) {
    auto *out = static_cast<about_copy *>(ctx);
    try {
        out->type = a->drive_type ? a->drive_type : "";
        out->owner = a->owner ? a->owner : "";
        out->state = a->state ? a->state : "";
    } catch (...) {
        return 1;
    }
    out->total = a->total;
    out->used = a->used;
    out->remaining = a->remaining;
    out->deleted = a->deleted;
    return 0;
}

std::string json_or_null(const std::string &text) {
    return text.empty() ? "null" : json_string(text);
}

std::string number_or_null(int64_t n) {
    return n < 0 ? "null" : std::to_string(n);
}

} // namespace

int run_about(const options &o) {
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    about_copy a;
    int rc = nimbus_drive_about(ctx.drive(), copy_about, &a);
    ctx.after_request();
    if (ctx.stopped())
        return EXIT_INTERRUPTED;
    if (rc != NIMBUS_OK) {
        print_failure("about", rc, nimbus_last_error());
        ctx.explain_failure(rc);
        return exit_for(rc);
    }
    if (o.json) {
        std::printf("{\"owner\":%s,\"type\":%s,\"total\":%s,\"used\":%s,\"free\":%s,"
                    "\"trashed\":%s,\"state\":%s}\n",
                    json_or_null(a.owner).c_str(), json_or_null(a.type).c_str(),
                    number_or_null(a.total).c_str(), number_or_null(a.used).c_str(),
                    number_or_null(a.remaining).c_str(), number_or_null(a.deleted).c_str(),
                    json_or_null(a.state).c_str());
        return EXIT_OK;
    }
    // What the service left out is left out, as rclone does.
    auto line = [](const char *label, const std::string &value) {
        if (!value.empty())
            std::printf("%-9s%s\n", label, printable(value).c_str());
    };
    auto size = [&](const char *label, int64_t n) {
        if (n >= 0)
            line(label, human_size(n));
    };
    line("Account:", a.owner);
    line("Type:", a.type);
    size("Total:", a.total);
    size("Used:", a.used);
    size("Free:", a.remaining);
    size("Trashed:", a.deleted);
    if (!a.state.empty() && a.state != "normal")
        line("State:", a.state); // nearing, critical, exceeded: worth a look
    return EXIT_OK;
}

} // namespace cli
