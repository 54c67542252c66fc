#include "serve/range.h"

#include <climits>
#include <cstring>
#include <strings.h>

namespace cli {
namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// Decimal digits at *p (at least one), held at LLONG_MAX.
bool number(const char *&p, const char *end, long long *out) {
    if (p == end || !digit(*p))
        return false;
    long long v = 0;
    for (; p != end && digit(*p); p++) {
        int d = *p - '0';
        v = v > (LLONG_MAX - d) / 10 ? LLONG_MAX : v * 10 + d;
    }
    *out = v;
    return true;
}

// One non-empty byte range ("F-L", "F-" or "-N") filling [p, end) exactly.
bool one_range(const char *p, const char *end, byte_range *out) {
    byte_range r;
    if (p != end && *p == '-') {
        p++;
        if (!number(p, end, &r.suffix))
            return false;
    } else {
        if (!number(p, end, &r.first) || p == end || *p != '-')
            return false;
        p++;
        if (p != end && !number(p, end, &r.last))
            return false;
        // Held at LLONG_MAX: the rest of the file, whatever its length.
        if (r.last == LLONG_MAX)
            r.last = -1;
        if (r.last >= 0 && r.last < r.first)
            return false;
    }
    if (p != end)
        return false;
    *out = r;
    return true;
}

} // namespace

range_ask read_range(const char *value, byte_range *out) {
    if (!value)
        return range_ask::whole;
    const char *p = value, *end = value + std::strlen(value);
    // A field value's own leading and trailing blanks are not part of it.
    while (p != end && blank(*p))
        p++;
    while (end != p && blank(end[-1]))
        end--;
    if (end - p < 6 || strncasecmp(p, "bytes=", 6) != 0)
        return range_ask::whole;
    p += 6;
    unsigned count = 0;
    byte_range first;
    // Ranges separated by commas with optional blanks around them; empty
    // elements are allowed, but at least one range must stand.
    while (true) {
        const char *stop = p;
        while (stop != end && *stop != ',' && !blank(*stop))
            stop++;
        if (stop != p) {
            byte_range r;
            if (!one_range(p, stop, &r))
                return range_ask::whole;
            if (count++ == 0)
                first = r;
        }
        p = stop;
        while (p != end && blank(*p))
            p++;
        if (p == end)
            break;
        if (*p != ',')
            return range_ask::whole; // blanks inside a range, or between two
        p++;
        while (p != end && blank(*p))
            p++;
    }
    if (count == 0)
        return range_ask::whole;
    if (count > 1)
        return range_ask::several;
    *out = first;
    return range_ask::one;
}

bool unsatisfied_length(const std::string &value, long long *out) {
    const char *p = value.c_str(), *end = p + value.size();
    if (value.compare(0, 8, "bytes */") != 0 || value.size() > 8 + 19)
        return false;
    p += 8;
    long long n = 0;
    if (!number(p, end, &n) || p != end || n == LLONG_MAX)
        return false;
    *out = n;
    return true;
}

std::string range_value(const byte_range &r) {
    if (r.first < 0)
        return "bytes=-" + std::to_string(r.suffix);
    std::string v = "bytes=" + std::to_string(r.first) + "-";
    if (r.last >= 0)
        v += std::to_string(r.last);
    return v;
}

} // namespace cli
