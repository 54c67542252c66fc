// Waits that tests shorten through the environment, so a case about a
// minute-long timeout does not take a minute. Each is read where it is used
// and named there; the command's users never need one.
#ifndef NIMBUS_TOOLS_KNOBS_H
#define NIMBUS_TOOLS_KNOBS_H

#include <chrono>
#include <cstdlib>

namespace cli {

// The environment variable name as whole seconds from 0 to a day; the
// built-in wait when it is unset or anything else.
inline std::chrono::seconds knob_seconds(const char *name, std::chrono::seconds fallback) {
    const char *s = std::getenv(name);
    char *end = nullptr;
    long n = s ? std::strtol(s, &end, 10) : -1;
    if (!s || !*s || *end || n < 0 || n > 86400)
        return fallback;
    return std::chrono::seconds(n);
}

} // namespace cli

#endif
