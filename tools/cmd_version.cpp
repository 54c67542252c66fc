// nimbus version: the command's version, and the library's as loaded.
#include "commands.h"
#include "curl_io.h"
#include "output.h"

#include <nimbus.h>

#include <cstdio>

namespace cli {

int run_version(const options &o) {
    // The library is loaded at run time: its version may differ from the
    // header's the command was built with.
    if (o.json)
        std::printf("{\"command\":%s,\"version\":%s,\"runtime_type\":%s,\"caps\":%d,"
                    "\"curl\":%s}\n",
                    json_string(NIMBUS_VERSION_STRING).c_str(),
                    json_string(nimbus_version()).c_str(),
                    json_string(nimbus_runtime_type()).c_str(), nimbus_caps(),
                    json_string(curl_version_text()).c_str());
    else
        std::printf("nimbus command %s\nnimbus library %s (%s, caps %d)\n%s\n",
                    NIMBUS_VERSION_STRING, nimbus_version(), nimbus_runtime_type(), nimbus_caps(),
                    curl_version_text());
    return EXIT_OK;
}

} // namespace cli
