// How the gateway answers what it cannot serve: its own refusals, and the
// library's failures as a status, one sentence and (for JSON clients) the
// library's message.
#ifndef NIMBUS_TOOLS_SERVE_ERRORS_H
#define NIMBUS_TOOLS_SERVE_ERRORS_H

#include "serve/exchange.h"
#include "serve/pages.h"

#include <string>

namespace cli {

// An error answer: {"error": SENTENCE} for JSON clients, else an error page
// (q, when given, supplies the secret its links carry).
reply error_reply(unsigned status, const std::string &sentence, bool json,
                  const error_info &info = error_info(), const request *q = nullptr);

// A library code (or listing_busy, listing_too_large) with the library's
// message as the client sees it; a 503 carries Retry-After. paused_s: how
// long the account's requests still wait (0: they go now).
reply failure_reply(int code, const std::string &message, const request &q, const error_info &where,
                    long paused_s);

} // namespace cli

#endif
