// The scanf-based reading of an ISO 8601 UTC date-time, kept as the
// reference that the library's hand-written reader must agree with on every
// input (unit tests and the differential fuzzer use it).
#ifndef NIMBUS_TESTS_ISO8601_REFERENCE_H
#define NIMBUS_TESTS_ISO8601_REFERENCE_H

#include <cstdint>
#include <cstdio>
#include <cstring>

inline int64_t iso8601_reference(const char *text) {
    if (text == nullptr)
        return 0;
    long long year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(text, "%lld-%2u-%2uT%2u:%2u:%2u", &year, &month, &day, &hour, &minute,
                    &second) < 6)
        return 0;
    if (year < 1971 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60)
        return 0;
    int64_t ms = 0;
    const char *dot = std::strchr(text, '.');
    if (dot != nullptr && dot[1] >= '0' && dot[1] <= '9') {
        int digits = 0;
        int value = 0;
        for (const char *d = dot + 1; digits < 3 && *d >= '0' && *d <= '9'; d++, digits++)
            value = value * 10 + (*d - '0');
        ms = digits == 1 ? value * 100 : digits == 2 ? value * 10 : value;
    }
    int64_t y = month <= 2 ? year - 1 : year;
    int64_t era = y / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (month + 9) % 12;
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    return ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000 + ms;
}

#endif
