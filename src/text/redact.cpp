// Guards that keep secrets out of every text handed back to the host: URL
// and form redaction, the first printable line of a body, and masking of a
// request's own secrets in a finished message.
#include <cstring>

#include "text/text.h"

namespace {

// Secret parameters, matched in this order right after a delimiter. An
// authorization code is a secret until it is redeemed.
constexpr const char *SECRET_KEYS[] = {
    "access_token=", "refresh_token=", "client_secret=", "tempauth=",
    "token=",        "password=",      "passwd=",        "pw=",
    "code="};
// An HTTP credential scheme whose next word is the token itself.
constexpr const char BEARER[] = "bearer";
constexpr const char STARS[] = "***";
// The first line of a body quoted in a message is cut to this many bytes.
constexpr size_t MAX_LINE = 160;
// Secrets this long without a blank are tokens: a run of their first
// PARTIAL_RUN bytes is masked too (a cut quote keeps only a prefix).
constexpr size_t PARTIAL_SECRET = 32;
constexpr size_t PARTIAL_RUN = 16;

// Appends into the caller's array, keeping the first size - 1 bytes: the
// result is the same as building the whole text and cutting it, without
// any allocation that could fail.
struct bounded {
    char *out;
    size_t room; // bytes that may still be written before the NUL
    size_t len;

    void put(const char *p, size_t n) {
        size_t k = n < room ? n : room;
        std::memcpy(out + len, p, k);
        len += k;
        room -= k;
    }
};

size_t scheme_end(const char *text);
size_t key_match(const char *p, const char *end);
size_t bearer_match(const char *text, const char *p, const char *end);

} // namespace

void nimbus_redact_into(const char *text, char *out, size_t size) {
    if (out == nullptr || size == 0)
        return;
    out[0] = '\0';
    if (text == nullptr)
        return;
    bounded w{out, size - 1, 0};
    const char *p = text;
    // Everything after the bearer marker is a token: the scan stops at the
    // marker (end), which is then written with "***" for what followed it.
    const char *marker = std::strstr(text, NIMBUS_BEARER_MARKER);
    const char *end = marker ? marker : text + std::strlen(text);
    auto span = [&end](const char *from, const char *stops) {
        size_t n = std::strcspn(from, stops);
        size_t left = static_cast<size_t>(end - from);
        return n < left ? n : left;
    };

    size_t sep = scheme_end(text);
    if (sep != 0 && text + sep < end) {
        // Drop user information: everything of the authority through its
        // last '@'. The authority ends at the first '/', '?' or '#'.
        const char *auth = text + sep + 3;
        size_t auth_len = span(auth, "/?#");
        w.put(text, sep + 3);
        p = auth;
        for (size_t i = auth_len; i > 0; i--)
            if (auth[i - 1] == '@') {
                p = auth + i;
                break;
            }
    }

    while (p < end && w.room > 0) {
        // A parameter may follow the query and form separators, the old ';'
        // separator and the '#' of a fragment (OAuth's implicit flow puts
        // its token there).
        size_t n = span(p, "?&;#Bb");
        w.put(p, n);
        p += n;
        if (p == end)
            break;
        if (*p == 'B' || *p == 'b') {
            // "Bearer TOKEN", as in an Authorization header: the word and its
            // blanks stay, the token up to the next white space goes.
            size_t lead = bearer_match(text, p, end);
            w.put(p, lead != 0 ? lead : 1);
            p += lead != 0 ? lead : 1;
            if (lead != 0) {
                w.put(STARS, 3);
                p += span(p, " \t\r\n");
            }
            continue;
        }
        w.put(p, 1);
        p++;
        size_t key = key_match(p, end);
        if (key != 0) {
            // The key keeps its spelling (escapes included); the value, up
            // to '&', '#' or the end, becomes "***" (an empty value too).
            w.put(p, key);
            w.put(STARS, 3);
            p += key;
            p += span(p, "&#");
        }
    }
    if (marker) {
        w.put(NIMBUS_BEARER_MARKER, sizeof NIMBUS_BEARER_MARKER - 1);
        w.put(STARS, 3);
    }
    out[w.len] = '\0';
}

void nimbus_body_line(const char *text, char *out, size_t size) {
    if (out == nullptr || size == 0)
        return;
    out[0] = '\0';
    if (text == nullptr)
        return;
    while (*text == '\r' || *text == '\n')
        text++;
    size_t limit = size - 1 < MAX_LINE ? size - 1 : MAX_LINE;
    size_t n = 0;
    for (; n < limit && text[n] != '\0' && text[n] != '\r' && text[n] != '\n'; n++) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        out[n] = c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : ' ';
    }
    while (n > 0 && out[n - 1] == ' ')
        n--;
    out[n] = '\0';
}

void nimbus_mask(char *msg, const char *secret) {
    if (msg == nullptr || secret == nullptr)
        return;
    size_t n = std::strlen(secret);
    if (n < 4)
        return;
    // Always search from the start: a replacement may join with what
    // follows into a new occurrence, which must go too.
    char *hit;
    while ((hit = std::strstr(msg, secret)) != nullptr) {
        std::memcpy(hit, STARS, 3);
        std::memmove(hit + 3, hit + n, std::strlen(hit + n) + 1);
    }
    // A quoted body is cut to one short line before the message is masked,
    // so a long token the service quotes may stand there only in part. A
    // token (long, no blank) also goes when its first PARTIAL_RUN bytes or
    // more stand anywhere; short texts such as scopes are masked whole only.
    if (n < PARTIAL_SECRET || std::strpbrk(secret, " \t") != nullptr)
        return;
    for (char *p = msg; *p != '\0';) {
        size_t run = 0;
        while (run < n && p[run] == secret[run])
            run++;
        if (run < PARTIAL_RUN) {
            p++;
            continue;
        }
        std::memcpy(p, STARS, 3);
        std::memmove(p + 3, p + run, std::strlen(p + run) + 1);
        p += 3;
    }
}

void nimbus_scrub(char *msg, const nimbus_cfg *cfg, const char *access_token) {
    if (cfg != nullptr) {
        nimbus_mask(msg, cfg->client_secret);
        nimbus_mask(msg, cfg->refresh_token);
        nimbus_mask(msg, cfg->client_id);
        nimbus_mask(msg, cfg->scope);
    }
    nimbus_mask(msg, access_token);
}

namespace {

inline bool letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Offset of a "://" that opens an authority: it must follow a scheme (a
// letter, then letters, digits, '+', '-', '.'). 0 when there is none.
size_t scheme_end(const char *text) {
    const char *sep = std::strstr(text, "://");
    if (sep == nullptr || sep == text || !letter(text[0]))
        return 0;
    for (const char *c = text + 1; c < sep; c++)
        if (!letter(*c) && !(*c >= '0' && *c <= '9') && *c != '+' && *c != '-' && *c != '.')
            return 0;
    return static_cast<size_t>(sep - text);
}

inline char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Length in the text of the first key of the table that p begins with,
// ignoring the case of ASCII letters and reading %HH escapes as the byte
// they stand for (a server decodes "%61ccess_token" to access_token); 0
// when none matches before end.
size_t key_match(const char *p, const char *end) {
    for (const char *key : SECRET_KEYS) {
        const char *q = p;
        size_t i = 0;
        for (; key[i] != '\0' && q < end; i++) {
            char c = *q;
            size_t step = 1;
            if (c == '%' && end - q > 2 && nimbus_hex_value(q[1]) >= 0 &&
                nimbus_hex_value(q[2]) >= 0) {
                c = static_cast<char>(nimbus_hex_value(q[1]) * 16 + nimbus_hex_value(q[2]));
                step = 3;
            }
            if (lower(c) != key[i])
                break;
            q += step;
        }
        if (key[i] == '\0')
            return static_cast<size_t>(q - p);
    }
    return 0;
}

// Length of "bearer" (any case) and the blanks after it when p starts that
// word and at least one space or tab follows before end; 0 otherwise.
size_t bearer_match(const char *text, const char *p, const char *end) {
    if (p > text) {
        char before = p[-1];
        if (letter(before) || (before >= '0' && before <= '9') || before == '_')
            return 0;
    }
    size_t n = sizeof BEARER - 1;
    if (static_cast<size_t>(end - p) <= n)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (lower(p[i]) != BEARER[i])
            return 0;
    size_t blanks = 0;
    while (p + n + blanks < end && (p[n + blanks] == ' ' || p[n + blanks] == '\t'))
        blanks++;
    return blanks != 0 ? n + blanks : 0;
}

} // namespace
