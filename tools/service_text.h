// What the command shows of a service's failure answer: the status, the
// service's error code and its request id, never the answer's own text
// (JSON or markup, which reaches neither a terminal nor a page).
#ifndef NIMBUS_TOOLS_SERVICE_TEXT_H
#define NIMBUS_TOOLS_SERVICE_TEXT_H

#include <string>

namespace cli {

// From a library message that holds the service's error answer ("...
// answered HTTP 404: {...}"): "HTTP 404, code itemNotFound, request id ID",
// each part only when present and a plain token (letters, digits, "-",
// "_", "."; at most 128 bytes), so nothing of the answer's JSON or markup
// passes. "" when the message holds no "answered HTTP ".
std::string service_detail(const std::string &message);

// The library's message for code as a person or a script is shown it: when
// it holds the service's answer, what failed in the library's words and
// service_detail in parentheses ("not found (HTTP 404, code itemNotFound,
// request id ID)"), else the message as it is.
std::string failure_text(int code, const std::string &message);

} // namespace cli

#endif
