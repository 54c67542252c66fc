// The request pieces `nimbus serve` reads from clients (the path, query
// values, the Host and Range headers) and the service's header lines it
// passes on. Kept apart from the server so that they can be
// fuzzed without it.
#ifndef NIMBUS_TOOLS_SERVE_REQUEST_H
#define NIMBUS_TOOLS_SERVE_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "text.h"

struct sockaddr;

namespace cli {

// The longest drive path the library accepts, in bytes.
constexpr size_t kMaxDrivePath = 2048;

// The percent-encoded request path as the drive path it names ("/", "/A/B"
// or "/A/B/"). False for bad escapes, NUL and control bytes, invalid UTF-8,
// empty, "." and ".." components, and paths longer than kMaxDrivePath bytes
// (without the final "/").
bool decode_path(const char *raw, std::string *out);

// A query value: "+" is a space, %HH a byte. False on a bad escape or NUL.
// With plus_kept, "+" stays "+", and so does a raw space (libmicrohttpd
// has turned every "+" of the query into a space already): for values such
// as base64 secrets, which clients often send unescaped.
bool decode_query(const char *raw, std::string *out, bool plus_kept = false);

// True when the Host header names a loopback address or localhost with the
// listener's port (no port only for port 80).
bool loopback_host(const char *value, uint16_t port);

// The page number of ?page=: decimal digits only, 1 or more, at most
// 1000000 (no folder has more pages). False for anything else.
bool page_number(const char *raw, size_t *out);

// The key under which a client's streams are counted: its IPv4 address
// (also when it comes mapped into IPv6), or the /64 prefix of its IPv6
// address, since one host or home network holds a whole /64; "?" for
// anything else.
std::string client_key(const sockaddr *address);

// The first and last byte of a service's "bytes F-L/T" Content-Range, or
// false (a range of several parts, or anything malformed).
bool content_range(const std::string &value, long long *first, long long *last);

// One header line of the service's answer to a streamed download ("Name:
// value", line ends already cut): the name in lower case and the value
// without leading blanks. False for a line without a colon or a name, a
// value longer than max_value, and a control character anywhere: nothing of
// such a line may reach the client.
bool header_line(const std::string &line, size_t max_value, std::string *name, std::string *value);

} // namespace cli

#endif
