// The stream entry argument reader: any text either yields a target the
// stream operation can judge, or the entry's own message; through the handler
// record the outcome is always a published failure without a transport.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/host.h"
#include "text/text.h"

namespace {

const char *const kNoId = "entry has no OneDrive id (\"id\", \"path\" or \"backend_id\")";
const char *const kSettings =
    "{\"ClientId\":\"fz-client\",\"ClientSecret\":\"fz-secret\",\"refresh_token\":\"fz-rt\"}";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string entry(reinterpret_cast<const char *>(data), size);
    char msg[NIMBUS_MSG_SIZE] = {};
    char *target = nullptr;
    int rc = nimbus_entry_target(entry.c_str(), &target, msg, sizeof msg);
    if (rc == NIMBUS_OK) {
        if (!target || msg[0])
            std::abort();
        std::free(target);
    } else if (rc != NIMBUS_E_NOT_FOUND || target || std::strcmp(msg, kNoId) != 0) {
        std::abort();
    }

    // Without a transport a usable entry reports "no transport", any other
    // the entry's message; nothing is ever a success.
    char out[128];
    int hrc = hvtab_get()->stream_url(nullptr, kSettings, entry.c_str(), out, sizeof out);
    const char *error = nimbus_last_error();
    if (*nimbus_result_json())
        std::abort();
    if (rc == NIMBUS_OK ? (hrc != NIMBUS_E_UNAVAILABLE || std::strcmp(error, "no transport") != 0)
                        : (hrc != NIMBUS_E_NOT_FOUND || std::strcmp(error, kNoId) != 0))
        std::abort();
    return 0;
}
