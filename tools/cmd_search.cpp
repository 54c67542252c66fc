// nimbus search: the drive search's answer, one entry a line as it
// arrives, through the context's drive handle.
#include "commands.h"
#include "context.h"
#include "entry_lines.h"

#include <nimbus.h>

#include <string>

namespace cli {

int run_search(const options &o) {
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
