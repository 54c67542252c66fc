// The page loop every paged answer goes through (the flat listing, the
// handle's listing, search and change feed, the walk's feed): the first
// page's request, each answer judged, each page read in place into what
// the caller keeps, and the next link followed while it may be.
#include "ops/ops.h"

int nimbus_pages(const nimbus_pager *p, const char *first, char *msg, size_t size) {
    nimbus_str cur(nimbus_strdup(first));
    if (!cur) {
        nimbus_msgf(msg, size, "out of memory");
        return p->no_memory;
    }
    for (int page = 0, budget = NIMBUS_MAX_PAGES;; page++) {
        nimbus_buf req{};
        nimbus_buf_guard rg{&req};
        const char *url = cur.get();
        if (p->add_query) {
            if (nimbus_page_url(p->cfg, cur.get(), &req, p->select) != 0) {
                nimbus_msgf(msg, size, "out of memory");
                return p->no_memory;
            }
            url = req.data;
        }
        nimbus_resp resp{};
        int rc = p->get(p->get_ctx, url, &resp, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
        if (p->answer && (rc = p->answer(p->ctx, page, &resp, msg, size)) != NIMBUS_OK) {
            nimbus_resp_free(&resp);
            return rc;
        }
        rc = nimbus_status_check(&resp, p->label, url, msg, size);
        if (rc != NIMBUS_OK) {
            nimbus_resp_free(&resp);
            return rc;
        }
        char *next = nullptr;
        char code[NIMBUS_CODE_SIZE];
        rc = p->read(p->ctx, resp.body, resp.len, &next, code, sizeof code, msg, size);
        nimbus_resp_free(&resp);
        nimbus_str link(next);
        if (rc != NIMBUS_OK)
            return rc;
        if (!link)
            return NIMBUS_OK;
        cur = std::move(link);
        rc = nimbus_next_link_check(p->cfg, cur.get(), p->link_label, p->whole, &budget, msg, size);
        if (rc != NIMBUS_OK)
            return rc;
    }
}
