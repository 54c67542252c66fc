#include "serve/listen.h"

#include "settings_file.h"
#include "text.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace cli {
namespace {

constexpr size_t kMaxToken = 4096; // bytes of the --auth-token-file secret
constexpr size_t kMinToken = 16;   // a guessable secret protects nothing

} // namespace

bool parse_listen(const std::string &text, listen_address *out, std::string *error) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *error = "--listen wants ADDR:PORT or [IPv6]:PORT, not " + text;
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            *error = "--listen wants ADDR:PORT or [IPv6]:PORT, not " + text;
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host == "localhost")
        host = "127.0.0.1";
    char *end = nullptr;
    errno = 0;
    long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || errno || p < 0 || p > 65535) {
        *error = "--listen wants a port from 0 to 65535, not " + port;
        return false;
    }
    if (inet_pton(AF_INET, host.c_str(), &out->v4.sin_addr) == 1) {
        out->v4.sin_family = AF_INET;
        out->v4.sin_port = htons(static_cast<uint16_t>(p));
        out->loopback = (ntohl(out->v4.sin_addr.s_addr) >> 24) == 127;
        out->host = host;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &out->v6.sin6_addr) == 1) {
        out->is_v6 = true;
        out->v6.sin6_family = AF_INET6;
        out->v6.sin6_port = htons(static_cast<uint16_t>(p));
        out->loopback = IN6_IS_ADDR_LOOPBACK(&out->v6.sin6_addr);
        out->host = "[" + host + "]";
        return true;
    }
    *error = "--listen wants a numeric IPv4 or IPv6 address (or localhost), not " + host;
    return false;
}

uint16_t port_of(const listen_address &a) {
    return ntohs(a.is_v6 ? a.v6.sin6_port : a.v4.sin_port);
}

// True when another socket listens on the address already. libmicrohttpd
// only says that it could not start; this says why, before it tries.
bool port_taken(const listen_address &a) {
    if (port_of(a) == 0)
        return false;
    int fd = socket(a.is_v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (a.is_v6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const sockaddr *to = a.is_v6 ? reinterpret_cast<const sockaddr *>(&a.v6)
                                 : reinterpret_cast<const sockaddr *>(&a.v4);
    bool taken = bind(fd, to, a.is_v6 ? sizeof a.v6 : sizeof a.v4) != 0 && errno == EADDRINUSE;
    close(fd);
    return taken;
}

// The secret of --auth-token-file: a regular file only its owner may read,
// its first line without surrounding blanks.
bool read_token_file(const std::string &path, std::string *token, std::string *error) {
    std::string text;
    // Room for blanks around the longest secret; a first line that does not
    // end within it is too long.
    const size_t room = 2 * kMaxToken;
    if (!read_private_file(path, "token file", "the gateway's secret", room, &text, error))
        return false;
    size_t eol = text.find('\n');
    if (eol == std::string::npos && text.size() == room) {
        *error = "the token in " + path + " is longer than 4096 bytes";
        return false;
    }
    if (eol != std::string::npos)
        text.resize(eol);
    size_t b = text.find_first_not_of(" \t\r");
    size_t e = text.find_last_not_of(" \t\r");
    text = b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
    if (text.size() > kMaxToken) {
        *error = "the token in " + path + " is longer than 4096 bytes";
        return false;
    }
    if (has_control(text)) {
        *error = "the token in " + path + " holds control characters";
        return false;
    }
    if (text.size() < kMinToken) {
        *error = "the token in " + path + " is shorter than 16 characters";
        return false;
    }
    *token = text;
    return true;
}

} // namespace cli
