// The gateway's listen address (--listen) and its secret (--auth-token-file):
// read and checked before anything listens.
#ifndef NIMBUS_TOOLS_SERVE_LISTEN_H
#define NIMBUS_TOOLS_SERVE_LISTEN_H

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace cli {

struct listen_address {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    bool is_v6 = false;
    bool loopback = false;
    std::string host; // as written in URLs: "127.0.0.1" or "[::1]"
};

// ADDR:PORT, [IPv6]:PORT or localhost:PORT, numeric addresses only.
bool parse_listen(const std::string &text, listen_address *out, std::string *error);
uint16_t port_of(const listen_address &a);
// True when another socket listens on the address already.
bool port_taken(const listen_address &a);
// The secret of --auth-token-file: a regular file only its owner may read,
// its first line without surrounding blanks, 16 to 4096 bytes.
bool read_token_file(const std::string &path, std::string *token, std::string *error);

} // namespace cli

#endif // NIMBUS_TOOLS_SERVE_LISTEN_H
