// Runs one libcurl transfer of the byte proxy to its end, as
// curl_easy_perform would, with OpenSSL reading the socket ahead.
//
// Without read-ahead, OpenSSL takes each TLS record (16 KiB of a file) in
// two recv calls, its header and its body, and the transfer's thread
// sleeps and wakes for each record as it arrives. With it, one recv takes
// the records that wait, up to four. But libcurl (7.88) asks only SSL_pending whether
// there is more to read, which does not count whole records still
// undecrypted in OpenSSL's buffer: it would wait on a socket that has
// nothing more to say while the end of the body sits in that buffer. So
// the pump drives the transfer through the multi socket interface and
// tells libcurl to read whenever OpenSSL holds bytes.
#ifndef NIMBUS_TOOLS_SERVE_PUMP_H
#define NIMBUS_TOOLS_SERVE_PUMP_H

#include <curl/curl.h>

#include <chrono>

namespace cli {

class transfer_pump {
  public:
    // Called at least every kTickMs while the transfer waits for the
    // network: true ends it with CURLE_ABORTED_BY_CALLBACK.
    using tick_fn = bool (*)(void *ctx);
    static constexpr long kTickMs = 250;

    transfer_pump();
    ~transfer_pump();
    transfer_pump(const transfer_pump &) = delete;
    transfer_pump &operator=(const transfer_pump &) = delete;

    // Asks OpenSSL to read ahead on H's connections (nothing when libcurl
    // uses another TLS library). Before the first perform.
    void read_ahead(CURL *h);

    // Runs H to its end: its result, as curl_easy_perform's.
    CURLcode perform(CURL *h, tick_fn tick, void *ctx);

  private:
    struct watched {
        curl_socket_t fd;
        int what;
    };
    static int on_socket(CURL *, curl_socket_t fd, int what, void *self, void *);
    static int on_timer(CURLM *, long ms, void *self);
    CURLcode run(CURL *h, tick_fn tick, void *ctx);
    curl_socket_t reading() const; // the socket read from, or CURL_SOCKET_BAD

    CURLM *multi_ = nullptr;
    // The sockets libcurl waits on and for what: a transfer uses one, two
    // while it connects to both address families at once.
    static constexpr int kMaxWatched = 8;
    watched watched_[kMaxWatched] = {};
    int count_ = 0;
    long timer_ms_ = -1; // libcurl's timer: none, or due at timer_at_
    std::chrono::steady_clock::time_point timer_at_{};
};

} // namespace cli

#endif
