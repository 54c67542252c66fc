// A small file fetched whole into memory (a subtitle the gateway converts,
// a cover it checks) before it answers, bounded in bytes and in time: the
// service's URL is followed like the byte proxy follows it.
#ifndef NIMBUS_TOOLS_SERVE_SMALL_FETCH_H
#define NIMBUS_TOOLS_SERVE_SMALL_FETCH_H

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

// The whole transfer may take this long.
constexpr long kSmallFetchSeconds = 30;

struct small_fetch {
    std::string body;
    long status = 0;        // the service's last answer; 0 when none came
    bool too_large = false; // the body passed the bound: the transfer was ended
    std::string error;      // why, when status is not 200 or the transfer failed
    bool ok() const { return status == 200 && error.empty(); }
};

// GET url, at most max bytes of body, trusting cacert ("" for the system's)
// and connecting by the --connect-to rules.
small_fetch fetch_small(const std::string &url, size_t max, const std::string &cacert,
                        const std::vector<std::string> &connect_to);

} // namespace cli

#endif
