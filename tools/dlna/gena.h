// What the MediaServer allows of event subscribers (GENA) before GUPnP
// sees a SUBSCRIBE: a control point may only name itself as the receiver of
// its events (else any LAN host could have the server send NOTIFYs to a
// third host), and the subscriptions one address, and all together, hold
// are few. Pure code: the server feeds it what libsoup read and answered.
#ifndef NIMBUS_TOOLS_DLNA_GENA_H
#define NIMBUS_TOOLS_DLNA_GENA_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "networks.h"

namespace dlna {

// Whether a CALLBACK header ("<http://HOST:PORT/path>", one or more) names
// at least one URL and nothing but plain http URLs whose host is the
// address PEER, written as an address (IPv4, or IPv6 in brackets), without
// user information. Each <...> is read as GUPnP reads it, so every URL
// GUPnP would notify has passed here.
bool callbacks_ok(const char *header, const ip_address &peer);

// The live subscriptions by SID, each with the address that made it and
// when it lapses (seconds on a monotonic clock). GUPnP does not tell when it
// drops one; an entry lives until its own expiry (kept a little past
// GUPnP's), until its unsubscription, or until a renewal is refused.
class subscriptions {
  public:
    static constexpr size_t per_address = 16;
    static constexpr size_t total = 256;

    // Whether PEER may make one more subscription at NOW.
    bool admit(const ip_address &peer, int64_t now);
    // A subscription GUPnP granted (or renewed): counted against PEER
    // unless the SID is known already, which keeps its first owner.
    void granted(const std::string &sid, const ip_address &peer, int64_t expires);
    void dropped(const std::string &sid);
    size_t held(const ip_address &peer, int64_t now);
    size_t size(int64_t now);

  private:
    struct entry {
        ip_address peer;
        int64_t expires;
    };
    void prune(int64_t now);
    std::map<std::string, entry> by_sid_;
};

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_GENA_H
