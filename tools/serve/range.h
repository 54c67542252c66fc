// A client's Range header, read strictly (RFC 9110, section 14.1.2) before
// anything of it reaches the service: the proxy passes on one normalised
// byte range or none at all.
#ifndef NIMBUS_TOOLS_SERVE_RANGE_H
#define NIMBUS_TOOLS_SERVE_RANGE_H

#include <string>

namespace cli {

// One byte range: "first-last", "first-" (last < 0) or the final "-suffix"
// bytes (first < 0). Numbers past 2^63-1 are held at 2^63-1: no file is that
// long, so a first byte there is as unsatisfiable as the one asked for, and
// a last byte or a suffix there means the rest or the whole of the file.
struct byte_range {
    long long first = -1;
    long long last = -1;
    long long suffix = -1;
};

enum class range_ask {
    whole,   // no Range, or one that is invalid (RFC 9110: ignored)
    one,     // one byte range, in *out
    several, // a valid list of more than one range (answered with the whole file)
};

// VALUE is the Range field's value (null when absent): the unit "bytes"
// (in any case), "=", then ranges separated by commas with optional blanks
// around them; empty list elements are allowed, blanks elsewhere are not.
// A range whose last byte comes before its first makes the value invalid.
range_ask read_range(const char *value, byte_range *out);

// The length N of a 416 answer's Content-Range "bytes */N" (RFC 9110,
// section 14.4), or false for anything else.
bool unsatisfied_length(const std::string &value, long long *out);

// The range as a Range field value: "bytes=F-L", "bytes=F-" or "bytes=-N".
std::string range_value(const byte_range &r);

} // namespace cli

#endif
