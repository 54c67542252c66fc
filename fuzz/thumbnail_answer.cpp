// The thumbnails answer on any bytes, for each size: never a crash, and a
// URL handed on only as one line of https within its bound, with sides
// within theirs.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "fuzz_check.h"
#include "graph/graph.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *body = reinterpret_cast<const char *>(data);
    for (const char *name : {"small", "medium", "large"}) {
        nimbus_thumb t{};
        char msg[NIMBUS_MSG_SIZE] = "";
        int rc = nimbus_parse_thumbnail(body, size, name, &t, msg, sizeof msg);
        CHECK(rc == NIMBUS_OK || rc == NIMBUS_E_NOT_FOUND || rc == NIMBUS_E_FAILED ||
              rc == NIMBUS_E_NOMEM);
        if (rc == NIMBUS_OK) {
            size_t n = std::strlen(t.url);
            CHECK(n > 8 && n <= NIMBUS_THUMB_URL_MAX && std::strncmp(t.url, "https://", 8) == 0);
            for (size_t i = 0; i < n; i++)
                CHECK(static_cast<unsigned char>(t.url[i]) > 0x20 && t.url[i] != 0x7f);
            CHECK(t.width >= 0 && t.width <= NIMBUS_THUMB_SIDE_MAX);
            CHECK(t.height >= 0 && t.height <= NIMBUS_THUMB_SIDE_MAX);
        } else {
            CHECK(!t.url && msg[0] != '\0');
        }
        nimbus_thumb_free(&t);
        CHECK(!t.url);
    }
    return 0;
}
