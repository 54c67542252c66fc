// Service endpoints (the clouds' hosts), random GUIDs and ISO 8601 timestamps.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "text/text.h"

namespace {

// Relaxed atomics: replacements happen before requests start, but readers on
// other threads must still see a whole pointer.
std::atomic<const char *> g_token_url{"https://login.microsoftonline.com/common/oauth2/v2.0/token"};
std::atomic<const char *> g_graph_base{"https://graph.microsoft.com/v1.0"};

// The clouds a drive can live on, by the names the "Cloud" setting takes.
// Each has its own identity platform and Graph hosts, and a token of one is
// worthless on the others. The global cloud's endpoints are the process-wide
// ones above (null here), which tests may point elsewhere.
struct cloud_hosts {
    const char *name;
    const char *token_url;
    const char *graph_base;
};
constexpr cloud_hosts k_clouds[] = {
    {"global", nullptr, nullptr},
    {"usgov", "https://login.microsoftonline.us/common/oauth2/v2.0/token",
     "https://graph.microsoft.us/v1.0"},
    {"usgovdod", "https://login.microsoftonline.us/common/oauth2/v2.0/token",
     "https://dod-graph.microsoft.us/v1.0"},
    {"china", "https://login.chinacloudapi.cn/common/oauth2/v2.0/token",
     "https://microsoftgraph.chinacloudapi.cn/v1.0"},
};
constexpr int32_t k_cloud_count = static_cast<int32_t>(sizeof k_clouds / sizeof k_clouds[0]);

// The settings' cloud; the global one for null settings or a value out of range.
const cloud_hosts &cloud_of(const nimbus_cfg *cfg) {
    int32_t i = cfg != nullptr ? cfg->cloud : NIMBUS_CLOUD_GLOBAL;
    return k_clouds[i > 0 && i < k_cloud_count ? i : NIMBUS_CLOUD_GLOBAL];
}

void guid_fallback(unsigned char bytes[16], const void *salt);
int64_t days_from_civil(int64_t year, unsigned month, unsigned day);

// Whether text starts with "DDDD-DD-DDTDD:DD:DD" (D a digit), which the
// field reader below would read the same way. The tests stop at the first
// mismatch, so nothing past a shorter text's NUL is read.
bool fixed_form(const char *t) {
    auto d = [](char c) { return static_cast<unsigned>(c - '0') <= 9u; };
    return d(t[0]) && d(t[1]) && d(t[2]) && d(t[3]) && t[4] == '-' && d(t[5]) && d(t[6]) &&
           t[7] == '-' && d(t[8]) && d(t[9]) && t[10] == 'T' && d(t[11]) && d(t[12]) &&
           t[13] == ':' && d(t[14]) && d(t[15]) && t[16] == ':' && d(t[17]) && d(t[18]);
}

// The value of two decimal digits.
unsigned two_digits(const char *s) {
    return static_cast<unsigned>(s[0] - '0') * 10 + static_cast<unsigned>(s[1] - '0');
}

// A cursor over a NUL-terminated text that reads the fields the way the
// scanf pattern "%lld-%2u-%2uT%2u:%2u:%2u" does.
struct reader {
    const char *p;

    static bool space(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }
    static bool digit(char c) { return c >= '0' && c <= '9'; }

    bool literal(char c) {
        if (*p != c)
            return false;
        p++;
        return true;
    }

    // %lld: white space, an optional sign, one or more digits. The value is
    // clamped at the int64 limits like strtoll, which is enough here since
    // only years 1971 to 9999 are accepted.
    bool year(int64_t *out) {
        while (space(*p))
            p++;
        bool neg = false;
        if (*p == '+' || *p == '-')
            neg = *p++ == '-';
        if (!digit(*p))
            return false;
        uint64_t v = 0;
        bool big = false;
        for (; digit(*p); p++) {
            if (v > (UINT64_MAX - 9) / 10)
                big = true;
            else
                v = v * 10 + static_cast<unsigned>(*p - '0');
        }
        if (big || v > static_cast<uint64_t>(INT64_MAX))
            *out = neg ? INT64_MIN : INT64_MAX;
        else
            *out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        return true;
    }

    // %2u: white space (not counted), then at most two characters in all,
    // an optional sign included. A '-' negates in unsigned arithmetic.
    bool field(unsigned *out) {
        while (space(*p))
            p++;
        int width = 2;
        bool neg = false;
        if (*p == '+' || *p == '-') {
            neg = *p++ == '-';
            width--;
        }
        if (!digit(*p))
            return false;
        unsigned v = 0;
        for (; width > 0 && digit(*p); width--, p++)
            v = v * 10 + static_cast<unsigned>(*p - '0');
        *out = neg ? 0u - v : v;
        return true;
    }
};

} // namespace

const char *nimbus_token_url() {
    return g_token_url.load(std::memory_order_relaxed);
}

const char *nimbus_graph_base() {
    return g_graph_base.load(std::memory_order_relaxed);
}

void nimbus_test_endpoints(const char *graph_base, const char *token_url) {
    if (graph_base != nullptr)
        g_graph_base.store(graph_base, std::memory_order_relaxed);
    if (token_url != nullptr)
        g_token_url.store(token_url, std::memory_order_relaxed);
}

int32_t nimbus_cloud_named(const char *name, size_t len) {
    for (int32_t i = 0; i < k_cloud_count; i++)
        if (std::strlen(k_clouds[i].name) == len && std::memcmp(k_clouds[i].name, name, len) == 0)
            return i;
    return -1;
}

const char *nimbus_token_url_of(const nimbus_cfg *cfg) {
    const char *url = cloud_of(cfg).token_url;
    return url != nullptr ? url : nimbus_token_url();
}

const char *nimbus_graph_base_of(const nimbus_cfg *cfg) {
    const char *base = cloud_of(cfg).graph_base;
    return base != nullptr ? base : nimbus_graph_base();
}

int nimbus_new_guid(char *out, size_t size) {
    if (out == nullptr || size < 37)
        return 0;
    unsigned char bytes[16];
    if (nimbus_random_bytes(bytes, sizeof bytes) != 0)
        guid_fallback(bytes, out);
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static const char digits[] = "0123456789abcdef";
    char *w = out;
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *w++ = '-';
        *w++ = digits[bytes[i] >> 4];
        *w++ = digits[bytes[i] & 0x0F];
    }
    *w = '\0';
    return 1;
}

int64_t nimbus_iso8601_ms(const char *text) {
    if (text == nullptr)
        return 0;
    reader r{text};
    int64_t year;
    unsigned month, day, hour, minute, second;
    if (fixed_form(text)) {
        // The service's own form, "YYYY-MM-DDTHH:MM:SS", at fixed places.
        year = two_digits(text) * 100 + two_digits(text + 2);
        month = two_digits(text + 5);
        day = two_digits(text + 8);
        hour = two_digits(text + 11);
        minute = two_digits(text + 14);
        second = two_digits(text + 17);
        r.p = text + 19;
    } else if (!r.year(&year) || !r.literal('-') || !r.field(&month) || !r.literal('-') ||
               !r.field(&day) || !r.literal('T') || !r.field(&hour) || !r.literal(':') ||
               !r.field(&minute) || !r.literal(':') || !r.field(&second)) {
        return 0;
    }
    if (year < 1971 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60)
        return 0;
    // The fields hold only digits, signs, white space, '-', 'T' and ':', so
    // the first '.' of the text can only come after the seconds.
    int64_t ms = 0;
    const char *dot = *r.p == '.' ? r.p : std::strchr(r.p, '.');
    if (dot != nullptr && reader::digit(dot[1])) {
        int scale = 100;
        for (const char *d = dot + 1; scale > 0 && reader::digit(*d); d++, scale /= 10)
            ms += (*d - '0') * scale;
    }
    int64_t days = days_from_civil(year, month, day);
    return ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000 + ms;
}

namespace {

// The random device is missing or short: a linear congruential generator
// seeded from the time and the output's address fills the bytes instead.
void guid_fallback(unsigned char bytes[16], const void *salt) {
    uint32_t state = static_cast<uint32_t>(nimbus_now()) ^
                     static_cast<uint32_t>(reinterpret_cast<uintptr_t>(salt));
    for (int i = 0; i < 16; i++) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>((state >> 16) & 0xFF);
    }
}

// Days since 1970-01-01 in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    int64_t y = month <= 2 ? year - 1 : year;
    int64_t era = y / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (month + 9) % 12;
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace
