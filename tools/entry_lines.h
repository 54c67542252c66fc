// The entries of a walk or a search, printed one a line as the library
// hands them out (list -R and search), with a progress line on a
// terminal's stderr, and the exit status their end calls for.
#ifndef NIMBUS_TOOLS_ENTRY_LINES_H
#define NIMBUS_TOOLS_ENTRY_LINES_H

#include "commands.h"
#include "context.h"

#include <nimbus.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace cli {

class entry_lines {
  public:
    explicit entry_lines(const options *o);
    // A nimbus_entry_fn: ctx is the entry_lines.
    static int take(void *ctx, const nimbus_entry *e);
    // Clears the progress line, if one was shown.
    void done();

  private:
    void print(const nimbus_entry *e);
    void tick();

    const options *o_;
    size_t entries_ = 0, folders_ = 0;
    bool progress_shown_ = false;
    bool tty_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point shown_{};
};

// The exit status of a walk or search that answered rc, its failure
// printed as what's.
int walk_status(context &ctx, const std::string &what, int rc);

} // namespace cli

#endif
