// One handle call's requests: authorised GETs through the handle's shared
// access token, and the loop that follows a paged answer's next links.
#include <chrono>
#include <cstdlib>

#include "ops/ops.h"

namespace {

// What the handle's page loop knows besides its reader.
struct handle_pages {
    bool resync;  // a 410 is the change feed's refused cursor
    bool *locked; // when given: a locked folder's refusal is told here
    nimbus_page_fn read;
    void *ctx;
};

int handle_answer(void *ctx, int, const nimbus_resp *resp, char *msg, size_t size) {
    auto *h = static_cast<handle_pages *>(ctx);
    if (h->resync && resp->status == 410) {
        nimbus_msgf(msg, size,
                    "changes: the service no longer accepts the cursor (resyncRequired); "
                    "start over without one");
        return NIMBUS_E_RESYNC;
    }
    if (h->locked && nimbus_locked_folder(resp->status, resp->body, resp->len)) {
        *h->locked = true;
        return NIMBUS_E_AUTH;
    }
    return NIMBUS_OK;
}

int handle_read(void *ctx, char *body, size_t len, char **next, char *code, size_t code_size,
                char *msg, size_t size) {
    auto *h = static_cast<handle_pages *>(ctx);
    return h->read(h->ctx, body, len, next, code, code_size, msg, size);
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

int nimbus_caller_fetch(void *caller, const char *url, nimbus_resp *resp, char *msg, size_t size) {
    return nimbus_caller_get(static_cast<nimbus_caller *>(caller), url, resp, msg, size);
}

void nimbus_caller_free(nimbus_caller *c) {
    std::free(c->token);
    c->token = nullptr;
}

int nimbus_caller_pages(nimbus_caller *c, const char *first, const char *label, bool resync,
                        nimbus_page_fn read, void *ctx, char *msg, size_t size, bool *locked) {
    handle_pages h{resync, locked, read, ctx};
    nimbus_pager p{};
    p.get = nimbus_caller_fetch;
    p.get_ctx = c;
    p.cfg = c->cfg;
    p.add_query = true;
    p.select = c->select;
    p.label = label;
    p.link_label = "children";
    p.whole = "folder";
    p.no_memory = NIMBUS_E_NOMEM;
    p.answer = handle_answer;
    p.read = handle_read;
    p.ctx = &h;
    return nimbus_pages(&p, first, msg, size);
}
