// What the command shows of a service's failure answer (see service_text.h).
#include "service_text.h"

#include <nimbus.h>

namespace cli {

namespace {

// The string value after "key" in text, as an error envelope writes it;
// "" when absent or not a short plain token. The text may be cut short.
std::string envelope_value(const std::string &text, const std::string &key) {
    size_t at = text.find("\"" + key + "\"");
    if (at == std::string::npos)
        return "";
    size_t i = at + key.size() + 2;
    while (i < text.size() && (text[i] == ' ' || text[i] == ':'))
        i++;
    if (i >= text.size() || text[i] != '"')
        return "";
    size_t end = text.find('"', i + 1);
    if (end == std::string::npos || end - i - 1 > 128 || end == i + 1)
        return "";
    std::string v = text.substr(i + 1, end - i - 1);
    for (char ch : v) {
        auto c = static_cast<unsigned char>(ch);
        bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                     c == '-' || c == '_' || c == '.';
        if (!plain)
            return "";
    }
    return v;
}

} // namespace

std::string service_detail(const std::string &message) {
    size_t h = message.find("answered HTTP ");
    if (h == std::string::npos)
        return "";
    size_t i = h + 14, e = i;
    while (e < message.size() && e - i < 3 && message[e] >= '0' && message[e] <= '9')
        e++;
    std::string out = "HTTP " + message.substr(i, e - i);
    std::string code = envelope_value(message, "code");
    std::string id = envelope_value(message, "request-id");
    if (!code.empty())
        out += ", code " + code;
    if (!id.empty())
        out += ", request id " + id;
    return out;
}

std::string failure_text(int code, const std::string &message) {
    std::string detail = service_detail(message);
    if (detail.empty())
        return message;
    return std::string(nimbus_strerror(code)) + " (" + detail + ")";
}

} // namespace cli
