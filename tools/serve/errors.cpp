// The gateway's error answers (see errors.h).
#include "serve/errors.h"

#include "output.h"
#include "serve/gateway.h"
#include "service_text.h"

#include <nimbus.h>

namespace cli {

namespace {

constexpr int kRetryAfterSeconds = 10; // when the service named no pause
// When a listing found the listings' budget held by others (folders.cpp).
constexpr int kListingRetrySeconds = 2;

} // namespace

reply error_reply(unsigned status, const std::string &sentence, bool json, const error_info &info,
                  const request *q) {
    reply r;
    r.status = status;
    if (json) {
        r.type = "application/json";
        r.body = "{\"error\":" + json_string(printable(sentence)) + "}";
        return r;
    }
    r.body = error_page(status, sentence, info, q ? *q : request());
    return r;
}

// A service or library failure as the client sees it: the status, one
// sentence, and for JSON clients the library's message as failure_text
// shows it.
reply failure_reply(int code, const std::string &message, const request &q, const error_info &where,
                    long paused_s) {
    error_info info = where;
    info.detail = message;
    // JSON clients get the sentence with the service's status, code and
    // request id, as the page shows them, never the service's own answer.
    const std::string shown = failure_text(code, message);
    bool json = q.json_errors;
    bool folder = !q.path.empty() && q.path.back() == '/';
    switch (code) {
    case NIMBUS_E_BAD_PATH:
        return error_reply(400, json ? shown : "This is not a valid drive path", json, info, &q);
    case NIMBUS_E_NOT_FOUND:
        return error_reply(404,
                           json     ? shown
                           : folder ? "This folder does not exist"
                                    : "This file does not exist",
                           json, info, &q);
    case NIMBUS_E_SIGNIN:
        info.signin = true;
        [[fallthrough]];
    case NIMBUS_E_AUTH:
        return error_reply(502,
                           json ? "The service refused the authorisation (" + shown +
                                      "). Run nimbus login to sign in again."
                                : "Signed out: run `nimbus login`",
                           json, info, &q);
    case NIMBUS_E_THROTTLED: {
        // The account's pause, when the gateway did not wait it out.
        long wait = paused_s > 0 ? paused_s : kRetryAfterSeconds;
        reply r = error_reply(503,
                              json ? "The service is throttling requests: " + shown
                                   : "The service is busy; try again in " + std::to_string(wait) +
                                         " seconds",
                              json, info, &q);
        r.headers.emplace_back("Retry-After", std::to_string(wait));
        return r;
    }
    case NIMBUS_E_UNAVAILABLE: {
        reply r = error_reply(503,
                              json           ? "The service is unavailable: " + shown
                              : paused_s > 0 ? "The service is unavailable; try again in " +
                                                   std::to_string(paused_s) + " seconds"
                                             : "The service is unavailable; try again in a moment",
                              json, info, &q);
        if (paused_s > 0)
            r.headers.emplace_back("Retry-After", std::to_string(paused_s));
        return r;
    }
    case NIMBUS_E_INVALID:
        return error_reply(500,
                           json ? "The gateway's settings are invalid: " + shown
                                : "The gateway's settings are invalid",
                           json, info, &q);
    case NIMBUS_E_NOMEM:
        return error_reply(500, "out of memory", json, info, &q);
    // The gateway's own limits: the library's message has nothing to add.
    case listing_busy: {
        reply r =
            error_reply(503, "The gateway is busy listing other folders; try again in a moment",
                        json, where, &q);
        r.headers.emplace_back("Retry-After", std::to_string(kListingRetrySeconds));
        return r;
    }
    case listing_too_large:
        return error_reply(507,
                           "This folder is too large for the gateway: its entries need more "
                           "than the " +
                               std::to_string(listing_bytes() >> 20) + " MiB its listings may hold",
                           json, where, &q);
    default:
        return error_reply(502, json ? shown : "The service's answer could not be used", json, info,
                           &q);
    }
}

} // namespace cli
