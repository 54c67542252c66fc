// Redaction, masking and scrubbing on arbitrary texts: the output fits its
// buffer, never exceeds twice the input plus 16, a cut output is a prefix of
// the whole one, and no value of a secret parameter or masked secret stays.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "text/text.h"

namespace {

const char *const keys[] = {"access_token=", "refresh_token=", "client_secret=", "tempauth=",
                            "token=",        "password=",      "passwd=",        "pw=",
                            "code="};

int hex(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

char low(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Bytes of the text at p that spell a secret key, %HH escapes read as
// their byte; 0 when none does.
size_t key_at(const char *p) {
    for (const char *k : keys) {
        size_t i = 0, at = 0;
        for (; k[i] != '\0' && p[at] != '\0'; i++) {
            char c = p[at];
            size_t step = 1;
            if (c == '%' && p[at + 1] != '\0' && hex(p[at + 1]) >= 0 && hex(p[at + 2]) >= 0) {
                c = static_cast<char>(hex(p[at + 1]) * 16 + hex(p[at + 2]));
                step = 3;
            }
            if (low(c) != k[i])
                break;
            at += step;
        }
        if (k[i] == '\0')
            return at;
    }
    return 0;
}

// Bytes of "bearer" and its blanks when the word starts at i.
size_t bearer_at(const std::string &s, size_t i) {
    if (i > 0) {
        char b = s[i - 1];
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_')
            return 0;
    }
    static const char word[] = "bearer";
    for (size_t k = 0; k < 6; k++)
        if (i + k >= s.size() || low(s[i + k]) != word[k])
            return 0;
    size_t n = 6;
    while (i + n < s.size() && (s[i + n] == ' ' || s[i + n] == '\t'))
        n++;
    return n > 6 ? n : 0;
}

std::string redact(const std::string &text, size_t size) {
    std::vector<char> out(size + 16, 'Z');
    nimbus_redact_into(text.c_str(), out.data(), size);
    for (size_t i = size; i < out.size(); i++)
        CHECK(out[i] == 'Z');
    if (size == 0) {
        CHECK(out[0] == 'Z');
        return "";
    }
    size_t n = strnlen(out.data(), size);
    CHECK(n < size);
    return std::string(out.data(), n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();

    size_t full_size = 2 * text.size() + 16;
    std::string full = redact(text, full_size);
    CHECK(full.size() <= 2 * text.size() + 16);
    // Every secret key after a delimiter (escaped or not) is followed by
    // "***" and the end of the value, and every "Bearer " by "***" and white
    // space, the end or the transport's marker: no byte of any value survives.
    for (size_t i = 0; i < full.size(); i++) {
        if (size_t b = bearer_at(full, i)) {
            size_t v = i + b;
            CHECK(full.compare(v, 3, "***") == 0);
            CHECK(v + 3 == full.size() || std::strchr(" \t\r\n#", full[v + 3]) != nullptr);
        }
        if (full[i] != '?' && full[i] != '&' && full[i] != ';' && full[i] != '#')
            continue;
        size_t k = key_at(full.c_str() + i + 1);
        if (k == 0)
            continue;
        size_t v = i + 1 + k;
        CHECK(full.compare(v, 3, "***") == 0);
        CHECK(v + 3 == full.size() || full[v + 3] == '&' || full[v + 3] == '#');
    }
    for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, size_t{17}, size_t{NIMBUS_URL_MSG},
                       full.size(), full.size() + 1}) {
        std::string part = redact(text, cut);
        CHECK(full.compare(0, part.size(), part) == 0);
        CHECK(part.size() == (cut == 0 ? 0 : std::min(full.size(), cut - 1)));
    }

    // mask and scrub: the secrets are the texts between the first few 0x02
    // bytes of the input; the message is the input.
    std::vector<std::string> parts;
    std::string rest = text;
    for (int i = 0; i < 5; i++) {
        size_t at = rest.find('\x02');
        parts.push_back(rest.substr(0, at));
        if (at == std::string::npos)
            break;
        rest = rest.substr(at + 1);
    }
    parts.resize(5);
    std::vector<char> msg(text.begin(), text.end());
    msg.push_back('\0');
    nimbus_mask(msg.data(), parts[0].c_str());
    CHECK(std::strlen(msg.data()) <= text.size());
    if (parts[0].size() >= 4)
        CHECK(std::strstr(msg.data(), parts[0].c_str()) == nullptr);
    else
        CHECK(text == msg.data());

    nimbus_cfg cfg{};
    cfg.client_secret = &parts[0][0];
    cfg.refresh_token = &parts[1][0];
    cfg.client_id = &parts[2][0];
    cfg.scope = &parts[3][0];
    std::vector<char> msg2(text.begin(), text.end());
    msg2.push_back('\0');
    nimbus_scrub(msg2.data(), &cfg, parts[4].c_str());
    CHECK(std::strlen(msg2.data()) <= text.size());
    if (parts[4].size() >= 4)
        CHECK(std::strstr(msg2.data(), parts[4].c_str()) == nullptr);
    return 0;
}
