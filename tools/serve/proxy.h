// The gateway's byte proxy: a file's download URL fetched by libcurl and
// streamed to the client through a libmicrohttpd response, the client's
// Range passed through. For players that do not follow a redirect (many
// DLNA renderers); everything else gets the 302 to the download URL.
#ifndef NIMBUS_TOOLS_SERVE_PROXY_H
#define NIMBUS_TOOLS_SERVE_PROXY_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct MHD_Connection;
struct MHD_Response;

namespace cli {

// Bytes held per stream between the service and the client; the transfer
// from the service waits while the client has not taken them.
constexpr size_t kProxyBuffer = 192 * 1024;
// Transfers from the service at once; one more is answered 503.
constexpr unsigned kProxyStreams = 32;
// Transfers at once for one client address (an IPv4 address, an IPv6 /64):
// a TV or mpv opens one to three connections for one file while it probes
// and seeks, so four serve any one player while no single client can take
// the slots every other player needs.
constexpr unsigned kStreamsPerClient = 4;
// Streams kept for paused players once their transfer was ended (they hold
// no slot then, only a buffer and a waiting thread), per client address and
// in all; a newer pause ends the oldest one kept beyond either bound.
constexpr unsigned kPausedPerClient = kStreamsPerClient;
constexpr unsigned kPausedStreams = 2 * kProxyStreams;

struct proxy_answer {
    unsigned status = 0;              // the service's: 200, 206 or 416; 0 when it failed
    MHD_Response *response = nullptr; // owned by the caller once status is set
    std::vector<std::pair<std::string, std::string>> headers; // to add to the response
    std::string error;                                        // why, when status is 0
    bool busy = false;    // kProxyStreams, or kStreamsPerClient of this client, already run
    bool refused = false; // the service answered 401, 403, 404 or 410 (the URL expired)
};

class proxy {
  public:
    proxy(std::string cacert, std::vector<std::string> connect_to);
    ~proxy(); // cancels every stream and waits for its thread
    proxy(const proxy &) = delete;
    proxy &operator=(const proxy &) = delete;

    // Fetches URL (with RANGE when it is one valid byte range, normalised;
    // else the whole file) for the request on C, and waits for the
    // service's answer line and headers. The connection is suspended while the client is
    // ahead of the service, so no pool thread waits on the body. The
    // daemon must allow suspend and resume.
    proxy_answer open(MHD_Connection *c, const std::string &url, const char *range);
    // Ends every stream under way (a server's stop): their clients see the
    // connection close. Returns when no stream thread is left.
    void cancel_all();

    // The trusted CAs and the --connect-to rules: every transfer of the
    // gateway's from the service goes the same way.
    const std::string &cacert() const { return cacert_; }
    const std::vector<std::string> &connect_to() const { return connect_to_; }

    struct stream; // one transfer, in proxy.cpp

  private:
    // The caller holds lock_.
    bool take_slot(stream *s);
    void give_slot(stream *s);
    // A transfer ended for the client's idleness: its slot goes back.
    void pause(stream *s);
    // The client takes bytes again (WANTED) or the wait ended: true when
    // the stream got a slot back to go on with.
    bool unpause(stream *s, bool wanted);
    void ended(stream *s);

    std::string cacert_;
    std::vector<std::string> connect_to_;
    struct share; // what the transfers share: name lookups, TLS sessions
    std::unique_ptr<share> share_;
    std::mutex lock_; // taken before any stream's own lock
    std::condition_variable idle_;
    unsigned running_ = 0; // stream threads
    unsigned active_ = 0;  // slots held: transfers under way
    std::map<std::string, unsigned> per_client_;
    bool cancelled_ = false;
    std::vector<stream *> streams_;
    std::deque<stream *> paused_; // the oldest first
    friend struct stream;
};

} // namespace cli

#endif
