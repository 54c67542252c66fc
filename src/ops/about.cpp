// What drive the handle reads: one GET of the signed-in user's drive, asking
// only for the members the answer reader keeps.
#include "ops/ops.h"

int nimbus_drive_facts_get(nimbus_caller *c, nimbus_drive_facts *f, char *msg, size_t size) {
    nimbus_drive_facts_init(f);
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_drive_facts_url(c->cfg, &url) != 0) {
        nimbus_msgf(msg, size, "out of memory");
        return NIMBUS_E_NOMEM;
    }
    nimbus_resp resp{};
    int rc = nimbus_caller_get(c, url.data, &resp, msg, size);
    if (rc == NIMBUS_OK)
        rc = nimbus_status_check(&resp, "drive", url.data, msg, size);
    if (rc == NIMBUS_OK)
        rc = nimbus_parse_drive(resp.body, resp.len, f, msg, size);
    nimbus_resp_free(&resp);
    return rc;
}
