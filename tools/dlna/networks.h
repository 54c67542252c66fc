// Who may use the MediaServer: IPv4 and IPv6 networks in CIDR notation, as
// the command line names them, and the test of a peer's address against
// them. Pure code, no system call: it reads what a user typed and what a
// socket reported, and is fuzzed by fuzz/dlna_soap.cpp.
#ifndef NIMBUS_TOOLS_DLNA_NETWORKS_H
#define NIMBUS_TOOLS_DLNA_NETWORKS_H

#include <cstddef>
#include <string>
#include <vector>

namespace dlna {

// An address as bytes in network order: 4 of them for IPv4, 16 for IPv6.
struct ip_address {
    bool v6 = false;
    unsigned char bytes[16] = {};
};

struct network {
    ip_address base; // the host bits beyond the prefix are zero
    unsigned prefix = 0;
};

// The most networks one list may name.
constexpr size_t max_networks = 64;

// "192.168.1.7" or "fe80::1" (no zone, no brackets). An IPv4-mapped IPv6
// address (::ffff:192.168.1.7) reads as the IPv4 address it maps, as a
// dual-stack socket reports an IPv4 peer that way.
bool parse_address(const std::string &text, ip_address &out);

// "192.168.1.0/24", "fd00::/8", or a bare address (/32, /128). The prefix is
// decimal without leading zeros, and the address has no bit set beyond it
// ("192.168.1.5/24" is refused: it names a host, not a network). "" when
// good, else what is wrong, for the user.
std::string parse_network(const std::string &text, network &out);

// Networks separated by commas, no blanks, 1 to max_networks of them. ""
// when good (out holds them), else what is wrong with which entry.
std::string parse_networks(const std::string &list, std::vector<network> &out);

bool contains(const network &n, const ip_address &a);
bool contains_any(const std::vector<network> &nets, const ip_address &a);

// The network of an interface: its address with the host bits of its
// netmask cleared (the netmask's bytes, as long as the address's).
network network_of(const ip_address &a, const unsigned char *mask);

// "192.168.1.0/24", "fd00::/8".
std::string to_string(const network &n);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_NETWORKS_H
