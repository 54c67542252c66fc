// The command's HTTP transport: a nimbus_io table backed by libcurl.
#ifndef NIMBUS_TOOLS_CURL_IO_H
#define NIMBUS_TOOLS_CURL_IO_H

#include "throttle.h"

#include <curl/curl.h>
#include <nimbus.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace cli {

struct curl_settings {
    long timeout_s = 60;                 // whole exchange
    long connect_timeout_s = 10;         // TCP + TLS handshake
    std::vector<std::string> connect_to; // HOST:PORT:TOHOST:TOPORT, as curl --connect-to
    std::string cacert;                  // PEM bundle replacing the system trust store
    bool verbose = false;                // one line per exchange (and per wait) on stderr
    int retries = 5;                     // repeats of a throttled or lost exchange
    double max_time_s = 0;               // whole command, counted from `started`; 0: none
    double max_wait_s = 0;               // all pauses of one exchange; 0: only the retries bound
    bool announce_waits = false;         // one line on stderr before each pause over a second
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// Owns what every exchange shares: options, the connect-to list, a pool of
// idle easy handles (each keeps its connections open for the next request)
// and the account's pauses. The table may be used from many threads; a
// handle serves one exchange at a time.
//
// One transport is one account: the command opens one per drive, and all
// it sends through it (Graph's requests and the token grants of the
// identity service) is on behalf of that one signed-in user and app, which
// is what the service throttles. Download URLs do not go through it: they
// are pre-authenticated links on storage hosts that the gateway's proxy
// fetches with its own handles, and a player's stalled stream must not hold
// up the listings.
class curl_transport {
  public:
    explicit curl_transport(curl_settings settings);
    ~curl_transport();
    curl_transport(const curl_transport &) = delete;
    curl_transport &operator=(const curl_transport &) = delete;

    // The table to hand to nimbus_set_io; valid while this object lives.
    const nimbus_io *table() const { return &io_; }

    // Whole seconds until the account sends again (a pause the service
    // asked for or a backoff, or a spent budget's next turn); 0 when it
    // sends now. What a gateway tells a client it answers 503.
    long paused_for() const;

    // What the transport callbacks run; public for the C adapters only.
    int exchange(const char *method, const char *url, const char *body, const char *content_type,
                 char **answer, int32_t *status, char **error) const;

    struct attempt; // one perform's outcome, in curl_io.cpp

  private:
    using clock = std::chrono::steady_clock;
    void *take_handle() const;
    void give_back(void *handle) const;
    bool perform(void *handle, const char *method, const std::string &target, const char *body,
                 const curl_slist *headers, attempt *out, std::string *why) const;
    bool pause_for(std::string *why) const;
    bool wait_until(clock::time_point until, account_pauses::cause cause, int status,
                    std::string *why) const;

    curl_settings settings_;
    curl_slist *connect_to_ = nullptr;
    std::string user_agent_;
    bool http2_ = false;
    bool has_deadline_ = false;
    clock::time_point deadline_{};
    nimbus_io io_{};
    mutable std::mutex pool_lock_;
    mutable std::vector<void *> idle_;
    mutable account_pauses pauses_;
};

// curl_global_init runs once per process, on first use; this undoes it at exit.
void curl_shutdown();

// libcurl's version text, for `nimbus version`.
const char *curl_version_text();

// libcurl's progress callback (CURLOPT_XFERINFOFUNCTION) for a transfer
// that Ctrl-C or a server's stop ends at once; libcurl calls it at least
// once a second.
int end_when_interrupted(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

} // namespace cli

#endif
