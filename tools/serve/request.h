// The request pieces `nimbus serve` reads from clients: the path, query
// values and the Host header. Kept apart from the server so that they can be
// fuzzed without it.
#ifndef NIMBUS_TOOLS_SERVE_REQUEST_H
#define NIMBUS_TOOLS_SERVE_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "text.h"

namespace cli {

// The longest drive path the library accepts, in bytes.
constexpr size_t kMaxDrivePath = 2048;

// The percent-encoded request path as the drive path it names ("/", "/A/B"
// or "/A/B/"). False for bad escapes, NUL and control bytes, invalid UTF-8,
// empty, "." and ".." components, and paths longer than kMaxDrivePath bytes
// (without the final "/").
bool decode_path(const char *raw, std::string *out);

// A query value: "+" is a space, %HH a byte. False on a bad escape or NUL.
bool decode_query(const char *raw, std::string *out);

// True when the Host header names a loopback address or localhost with the
// listener's port (no port only for port 80).
bool loopback_host(const char *value, uint16_t port);

// The page number of ?page=: decimal digits only, 1 or more, at most
// 1000000 (no folder has more pages). False for anything else.
bool page_number(const char *raw, size_t *out);

// From a library message that holds the service's error answer ("...
// answered HTTP 404: {...}"): "HTTP 404, code itemNotFound, request id ID",
// each part only when present and a plain token (letters, digits, "-",
// "_", "."; at most 128 bytes), so nothing of the answer's JSON or markup
// passes. "" when the message holds no "answered HTTP ".
std::string service_detail(const std::string &message);

} // namespace cli

#endif
