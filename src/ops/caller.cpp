// One handle call's requests: authorised GETs through the handle's shared
// access token, and the loop that follows a paged answer's next links.
#include <chrono>
#include <cstdlib>

#include "ops/ops.h"

namespace {

// Every allocation failure answers the same code and message.
int no_memory(char *msg, size_t size) {
    nimbus_msgf(msg, size, "out of memory");
    return NIMBUS_E_NOMEM;
}

} // namespace

int nimbus_caller_get(nimbus_caller *c, const char *url, nimbus_resp *resp, char *msg,
                      size_t size) {
    *resp = nimbus_resp{};
    const char *headers = nimbus_graph_headers(c->cfg, url);
    if (!c->token) {
        int rc = nimbus_shared_access(c->shared, c->io, c->cfg, nullptr, &c->token, &c->granted,
                                      msg, size);
        if (rc != NIMBUS_OK)
            return rc;
    }
    auto sent = std::chrono::steady_clock::now();
    if (nimbus_http_with(c->io, url, nullptr, nullptr, c->token, headers, resp, msg, size) != 0)
        return NIMBUS_E_UNAVAILABLE;
    if (c->pace)
        c->pace->answered(std::chrono::steady_clock::now() - sent, resp->status);
    if (resp->status != 401 || c->granted || c->retried)
        return NIMBUS_OK;

    // The shared token was refused: one refresh (or the one another caller
    // made meanwhile), one retry.
    nimbus_resp_free(resp);
    c->retried = true;
    char *fresh = nullptr;
    int rc =
        nimbus_shared_access(c->shared, c->io, c->cfg, c->token, &fresh, &c->granted, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    std::free(c->token);
    c->token = fresh;
    if (nimbus_http_with(c->io, url, nullptr, nullptr, c->token, headers, resp, msg, size) != 0)
        return NIMBUS_E_UNAVAILABLE;
    return NIMBUS_OK;
}

void nimbus_caller_free(nimbus_caller *c) {
    std::free(c->token);
    c->token = nullptr;
}

int nimbus_caller_pages(nimbus_caller *c, const char *first, const char *label, bool resync,
                        nimbus_page_fn read, void *ctx, char *msg, size_t size, bool *locked) {
    nimbus_str cur(nimbus_strdup(first));
    if (!cur)
        return no_memory(msg, size);
    for (int budget = NIMBUS_MAX_PAGES;;) {
        nimbus_buf req{};
        nimbus_buf_guard rg{&req};
        if (nimbus_page_url(c->cfg, cur.get(), &req, c->select) != 0)
            return no_memory(msg, size);
        nimbus_resp resp{};
        int rc = nimbus_caller_get(c, req.data, &resp, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
        if (resync && resp.status == 410) {
            nimbus_resp_free(&resp);
            nimbus_msgf(msg, size,
                        "changes: the service no longer accepts the cursor (resyncRequired); "
                        "start over without one");
            return NIMBUS_E_RESYNC;
        }
        if (locked && nimbus_locked_folder(resp.status, resp.body, resp.len)) {
            nimbus_resp_free(&resp);
            *locked = true;
            return NIMBUS_E_AUTH;
        }
        rc = nimbus_status_check(&resp, label, req.data, msg, size);
        if (rc != NIMBUS_OK) {
            nimbus_resp_free(&resp);
            return rc;
        }
        char *next = nullptr;
        char code[NIMBUS_CODE_SIZE];
        rc = read(ctx, resp.body, resp.len, &next, code, sizeof code, msg, size);
        nimbus_resp_free(&resp);
        if (rc != NIMBUS_OK)
            return rc;
        if (!next)
            return NIMBUS_OK;
        cur.reset(next);
        rc = nimbus_next_link_check(c->cfg, cur.get(), "children", "folder", &budget, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
    }
}
