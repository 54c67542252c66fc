#include "gena.h"

#include <cstring>
#include <iterator>

namespace dlna {

namespace {

bool same(const ip_address &a, const ip_address &b) {
    return a.v6 == b.v6 && std::memcmp(a.bytes, b.bytes, a.v6 ? 16 : 4) == 0;
}

// "http://HOST[:PORT][/...]" with HOST the peer's address. The authority
// ends where a URL parser ends it (at "/", "?" or "#"); within it only an
// address and a port are accepted, so no parser can find another host.
bool url_ok(const std::string &url, const ip_address &peer) {
    static const char scheme[] = "http://";
    if (url.compare(0, sizeof scheme - 1, scheme) != 0)
        return false;
    size_t start = sizeof scheme - 1;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    std::string host, port;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        host = authority.substr(1, close - 1);
        if (host.find(':') == std::string::npos) // brackets hold IPv6 only
            return false;
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return false;
            port = authority.substr(close + 2);
            if (port.empty())
                return false;
        }
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (host.find(':') != std::string::npos)
            return false;
        if (colon != std::string::npos) {
            port = authority.substr(colon + 1);
            if (port.empty())
                return false;
        }
    }
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        (!port.empty() && std::stoul(port) > 65535))
        return false;
    ip_address a;
    return parse_address(host, a) && same(a, peer);
}

} // namespace

bool callbacks_ok(const char *header, const ip_address &peer) {
    if (!header)
        return false;
    // As GUPnP walks the header: from each "<" to the next ">".
    size_t urls = 0;
    const char *start = header;
    while ((start = std::strchr(start, '<'))) {
        start++;
        const char *end = std::strchr(start, '>');
        if (!end)
            return false; // an unclosed URL: refused rather than guessed at
        if (!url_ok(std::string(start, end), peer))
            return false;
        urls++;
        start = end;
    }
    return urls > 0;
}

bool subscriptions::admit(const ip_address &peer, int64_t now) {
    prune(now);
    return by_sid_.size() < total && held(peer, now) < per_address;
}

void subscriptions::granted(const std::string &sid, const ip_address &peer, int64_t expires) {
    auto it = by_sid_.find(sid);
    if (it != by_sid_.end())
        it->second.expires = expires;
    else
        by_sid_[sid] = entry{peer, expires};
}

void subscriptions::dropped(const std::string &sid) {
    by_sid_.erase(sid);
}

size_t subscriptions::held(const ip_address &peer, int64_t now) {
    prune(now);
    size_t n = 0;
    for (const auto &e : by_sid_)
        n += same(e.second.peer, peer) ? 1 : 0;
    return n;
}

size_t subscriptions::size(int64_t now) {
    prune(now);
    return by_sid_.size();
}

void subscriptions::prune(int64_t now) {
    for (auto it = by_sid_.begin(); it != by_sid_.end();)
        it = it->second.expires <= now ? by_sid_.erase(it) : std::next(it);
}

} // namespace dlna
