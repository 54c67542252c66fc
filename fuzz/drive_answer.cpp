// The drive answer (GET /me/drive) on any bytes: never a crash, every member
// known only in the form the service sends it, the rest unknown; and the
// header choice on the same bytes taken as a URL.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "graph/graph.h"
#include "transport/transport.h"

namespace {

bool one_of(const char *s, const char *const *names) {
    for (; *names; names++)
        if (std::strcmp(s, *names) == 0)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *body = reinterpret_cast<const char *>(data);
    nimbus_drive_facts f;
    char msg[NIMBUS_MSG_SIZE] = "";
    int rc = nimbus_parse_drive(body, size, &f, msg, sizeof msg);
    CHECK(rc == NIMBUS_OK || rc == NIMBUS_E_FAILED || rc == NIMBUS_E_NOMEM);
    static const char *const types[] = {"personal", "business", "documentLibrary", nullptr};
    static const char *const states[] = {"normal", "nearing", "critical", "exceeded", nullptr};
    if (rc == NIMBUS_OK) {
        CHECK(!f.type || one_of(f.type, types));
        CHECK(!f.state || one_of(f.state, states));
        if (f.owner) {
            size_t n = std::strlen(f.owner);
            CHECK(n >= 1 && n <= NIMBUS_OWNER_MAX);
        }
        for (int64_t n : {f.total, f.used, f.remaining, f.deleted})
            CHECK(n >= -1);
    } else {
        CHECK(!f.type && !f.owner && !f.state && f.total == -1 && f.used == -1 &&
              f.remaining == -1 && f.deleted == -1);
        CHECK(msg[0] != '\0');
    }
    nimbus_drive_facts_free(&f);
    CHECK(!f.owner);

    // Whatever the URL, the headers are the library's constant, "" or none.
    std::string url = size ? std::string(body, size) : std::string();
    nimbus_cfg cfg{};
    cfg.header_markers = 1;
    const char *h = nimbus_graph_headers(&cfg, url.c_str());
    CHECK(h && (!*h || std::strcmp(h, "Prefer: Include-Feature=AddToOneDrive") == 0));
    CHECK(nimbus_headers_ok(h));
    return 0;
}
