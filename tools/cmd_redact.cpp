// nimbus redact: a text with every secret the library knows of masked.
#include "commands.h"
#include "output.h"

#include <nimbus.h>

#include <cstdio>

namespace cli {

int run_redact(const options &o) {
    std::printf("%s\n", nimbus_redact(o.args[0].c_str()));
    return EXIT_OK;
}

} // namespace cli
