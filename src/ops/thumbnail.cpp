// An item's thumbnail: one GET of its thumbnail sets, read for one size.
// Asked per item, when a host wants it: a listing that expanded every
// entry's thumbnails would cost the service a thumbnail lookup per entry
// whether or not anything shows them, and business drives refuse it.
#include "ops/ops.h"

int nimbus_drive_thumb(nimbus_caller *c, const char *path_or_id, const char *name, nimbus_thumb *t,
                       char *msg, size_t size) {
    *t = nimbus_thumb{};
    nimbus_buf url{};
    nimbus_buf_guard ug{&url};
    if (nimbus_thumbnails_url(c->cfg, path_or_id, &url) != 0)
        return nimbus_no_memory(msg, size);
    nimbus_resp resp{};
    int rc = nimbus_caller_get(c, url.data, &resp, msg, size);
    if (rc == NIMBUS_OK)
        rc = nimbus_status_check(&resp, "thumbnails", url.data, msg, size);
    if (rc == NIMBUS_OK)
        rc = nimbus_parse_thumbnail(resp.body, resp.len, name, t, msg, size);
    nimbus_resp_free(&resp);
    return rc;
}
