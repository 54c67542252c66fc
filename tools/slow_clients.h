// The slow-client guard of the command's HTTP listeners (the gateway of
// `nimbus serve` and the loopback listener of `nimbus login`).
//
// libmicrohttpd's idle timeout restarts with every byte, so a client that
// trickles its request line and headers in, one byte at a time, keeps its
// connection for ever, and enough such clients keep everybody else out.
// The guard gives every connection a deadline for its request line and
// headers, counted from the accept (or from the answer before, on a
// kept-alive connection), and bounds how many connections may owe their
// request at once, per client address and in all: a newcomer over a bound
// pushes out one that has waited longer, so a client that sends its
// request at once always gets its turn.
#ifndef NIMBUS_TOOLS_SLOW_CLIENTS_H
#define NIMBUS_TOOLS_SLOW_CLIENTS_H

#include <microhttpd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <set>
#include <string>

namespace cli {

struct slow_client_limits {
    std::chrono::steady_clock::duration deadline; // for the request line and headers
    size_t per_address = 0;                       // waiting from one address; 0: no bound
    size_t total = 0;                             // waiting in all
};

class slow_client_guard {
  public:
    explicit slow_client_guard(const slow_client_limits &limits) : limits_(limits) {}
    slow_client_guard(const slow_client_guard &) = delete;
    slow_client_guard &operator=(const slow_client_guard &) = delete;
    ~slow_client_guard();

    // MHD_CONNECTION_NOTIFY_STARTED: tracks the connection under the
    // client's address key (see client_key) in *context, the connection's
    // socket context. A connection that cannot be tracked is shut down:
    // it would escape the deadline.
    void started(MHD_Connection *c, void **context, const std::string &address);
    // MHD_CONNECTION_NOTIFY_CLOSED.
    void closed(void **context);

    // The request line and headers are in; the deadline waits for the next
    // request, which request_ended starts (kept-alive connections only).
    void request_begun(MHD_Connection *c) { mark(c, false); }
    void request_ended(MHD_Connection *c) { mark(c, true); }

    // Shuts down the connections past their deadline.
    void close_late();
    // Calls close_late five times a second until stop(): a thread's body.
    void run();
    void stop();

  private:
    struct conn {
        MHD_socket fd = MHD_INVALID_SOCKET;
        std::string address;
        std::chrono::steady_clock::time_point since; // accepted, or its last answer sent
        bool waiting = true;                         // for a complete request line and headers
        bool closing = false;
    };

    void mark(MHD_Connection *c, bool waiting);
    size_t waiting_from(const std::string &address) const;
    void push_out(const std::string &address);
    static void close_locked(conn *k);

    const slow_client_limits limits_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::set<conn *> all_;
};

} // namespace cli

#endif
