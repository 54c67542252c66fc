// A file descriptor closed when its guard goes out of scope.
#ifndef NIMBUS_TOOLS_FD_GUARD_H
#define NIMBUS_TOOLS_FD_GUARD_H

#include <unistd.h>

namespace cli {

struct fd_guard {
    int fd = -1;
    fd_guard() = default;
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace cli

#endif
