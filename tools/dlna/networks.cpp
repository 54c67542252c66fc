#include "networks.h"

#include <arpa/inet.h>
#include <cstring>

namespace dlna {

namespace {

size_t width(const ip_address &a) {
    return a.v6 ? 16 : 4;
}

// An IPv4-mapped IPv6 address becomes the IPv4 address it maps.
void unmap(ip_address &a) {
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (a.v6 && std::memcmp(a.bytes, prefix, sizeof prefix) == 0) {
        unsigned char v4[4];
        std::memcpy(v4, a.bytes + 12, 4);
        a = ip_address();
        std::memcpy(a.bytes, v4, 4);
    }
}

// Whether the first BITS bits of two addresses of one family agree.
bool same_prefix(const unsigned char *a, const unsigned char *b, unsigned bits) {
    size_t whole = bits / 8;
    if (std::memcmp(a, b, whole) != 0)
        return false;
    unsigned rest = bits % 8;
    if (rest == 0)
        return true;
    unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

} // namespace

bool parse_address(const std::string &text, ip_address &out) {
    // inet_pton reads the plain forms only: dotted decimal without leading
    // zeros, and IPv6 without zone or brackets.
    if (text.empty() || text.size() > 45 || text.find('\0') != std::string::npos)
        return false;
    ip_address a;
    if (inet_pton(AF_INET, text.c_str(), a.bytes) == 1) {
        out = a;
        return true;
    }
    a.v6 = true;
    if (inet_pton(AF_INET6, text.c_str(), a.bytes) != 1)
        return false;
    unmap(a);
    out = a;
    return true;
}

std::string parse_network(const std::string &text, network &out) {
    size_t slash = text.find('/');
    ip_address a;
    if (!parse_address(text.substr(0, slash), a))
        return "not an IP address: " + text.substr(0, slash);
    bool mapped = slash != std::string::npos && !a.v6 && text.find(':') < slash;
    unsigned limit = a.v6 || mapped ? 128 : 32, prefix = a.v6 ? 128 : 32;
    if (slash != std::string::npos) {
        std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string::npos ||
            (digits.size() > 1 && digits[0] == '0'))
            return "not a prefix length: /" + digits;
        prefix = static_cast<unsigned>(std::stoul(digits));
        if (prefix > limit)
            return "a prefix of /" + digits + " is longer than the address";
        // ::ffff:10.0.0.0/104 is 10.0.0.0/8: peers are compared as IPv4.
        if (mapped) {
            if (prefix < 96)
                return "an IPv4-mapped network needs a prefix of at least /96: " + text;
            prefix -= 96;
        }
    }
    network n;
    n.base = a;
    n.prefix = prefix;
    for (size_t bit = prefix; bit < width(a) * 8; bit++)
        n.base.bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
    if (std::memcmp(n.base.bytes, a.bytes, width(a)) != 0)
        return text + " has bits set beyond its prefix (the network is " + to_string(n) + ")";
    out = n;
    return {};
}

std::string parse_networks(const std::string &list, std::vector<network> &out) {
    std::vector<network> nets;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string one = list.substr(start, comma == std::string::npos ? comma : comma - start);
        if (one.empty())
            return "an empty entry in the list of networks";
        if (nets.size() == max_networks)
            return "more than " + std::to_string(max_networks) + " networks";
        network n;
        std::string complaint = parse_network(one, n);
        if (!complaint.empty())
            return complaint;
        nets.push_back(n);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    out = nets;
    return {};
}

bool contains(const network &n, const ip_address &a) {
    return n.base.v6 == a.v6 && same_prefix(n.base.bytes, a.bytes, n.prefix);
}

bool contains_any(const std::vector<network> &nets, const ip_address &a) {
    for (const network &n : nets)
        if (contains(n, a))
            return true;
    return false;
}

network network_of(const ip_address &a, const unsigned char *mask) {
    network n;
    n.base = a;
    unsigned bits = 0;
    for (size_t i = 0; i < width(a); i++) {
        n.base.bytes[i] = static_cast<unsigned char>(a.bytes[i] & mask[i]);
        for (unsigned char m = mask[i]; m & 0x80; m = static_cast<unsigned char>(m << 1))
            bits++;
        if (mask[i] != 0xFF)
            break;
    }
    n.prefix = bits;
    for (size_t bit = bits; bit < width(a) * 8; bit++)
        n.base.bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
    return n;
}

std::string to_string(const network &n) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(n.base.v6 ? AF_INET6 : AF_INET, n.base.bytes, text, sizeof text);
    return std::string(text) + "/" + std::to_string(n.prefix);
}

} // namespace dlna
