// The checks the MediaServer puts in front of GUPnP (gate.cpp): which peers
// may ask anything (SSDP and HTTP), what a request body may be, and what
// event subscriptions a peer may make. Private to tools/dlna/.
#ifndef NIMBUS_TOOLS_DLNA_GATE_H
#define NIMBUS_TOOLS_DLNA_GATE_H

#include <libgupnp/gupnp.h>

#include <string>
#include <vector>

#include "gena.h"
#include "networks.h"

namespace dlna {

// What the checks need; used on the GUPnP thread only.
struct gate {
    std::vector<network> allow; // the peers answered
    ip_address self;            // the server's own address: GUPnP fetches its SCPDs
    network local;              // the interface's own network, when known
    bool local_known = false;
    std::string host; // "ADDRESS:PORT", the only Host accepted
    subscriptions subscribed;
};

// Connects the checks to the context's HTTP server and SSDP client. Call it
// before the root device is made: its SSDP handler must come first.
void guard_context(GUPnPContext *ctx, gate &g);

// The network of the interface that holds ADDRESS (its address and netmask).
bool interface_network(const std::string &address, network &out);

// Routes the warnings of GUPnP, GSSDP and libsoup through a limit of a few
// lines a minute once library_logs_serving was called (until then, start-up
// warnings all pass). Process-wide; the first call installs the handlers.
void limit_library_logs();
void library_logs_serving();

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_GATE_H
