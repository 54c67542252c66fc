// nimbus search: the drive search's answer, one entry a line as it
// arrives, through the context's drive handle.
#include "commands.h"
#include "context.h"
#include "entry_lines.h"
#include "output.h"

#include <nimbus.h>

#include <string>

namespace cli {

int run_search(const options &o) {
    // Nothing to search for is a mistake on the command line, not in the
    // settings (which the library's NIMBUS_E_INVALID would say).
    if (o.args[0].find_first_not_of(" \t") == std::string::npos) {
        print_error("search: TEXT is empty: say what to search for");
        return EXIT_USAGE;
    }
    context ctx(o);
    if (int rc = ctx.open())
        return rc;
    entry_lines p(&o);
    int rc = nimbus_drive_search(ctx.drive(), o.args[0].c_str(), entry_lines::take, &p);
    p.done();
    ctx.after_request();
    if (ctx.stopped())
        return EXIT_INTERRUPTED;
    return walk_status(ctx, "search " + o.args[0], rc);
}

} // namespace cli
