// The command's HTTP transport: a nimbus_io table backed by libcurl.
#ifndef NIMBUS_TOOLS_CURL_IO_H
#define NIMBUS_TOOLS_CURL_IO_H

#include <nimbus.h>

#include <string>
#include <vector>

struct curl_slist;

namespace cli {

struct curl_settings {
    long timeout_s = 60;                 // whole exchange
    long connect_timeout_s = 10;         // TCP + TLS handshake
    std::vector<std::string> connect_to; // HOST:PORT:TOHOST:TOPORT, as curl --connect-to
    std::string cacert;                  // PEM bundle replacing the system trust store
    bool verbose = false;                // one line per exchange on stderr
};

// Owns what every exchange shares (options, the connect-to list). Each call
// uses its own easy handle, so the table may be used from many threads.
class curl_transport {
  public:
    explicit curl_transport(curl_settings settings);
    ~curl_transport();
    curl_transport(const curl_transport &) = delete;
    curl_transport &operator=(const curl_transport &) = delete;

    // The table to hand to nimbus_set_io; valid while this object lives.
    const nimbus_io *table() const { return &io_; }

    // What the transport callbacks run; public for the C adapters only.
    int exchange(const char *method, const char *url, const char *body, const char *content_type,
                 char **answer, int32_t *status, char **error) const;

  private:
    curl_settings settings_;
    curl_slist *connect_to_ = nullptr;
    std::string user_agent_;
    nimbus_io io_{};
};

// curl_global_init runs once per process, on first use; this undoes it at exit.
void curl_shutdown();

// libcurl's version text, for `nimbus version`.
const char *curl_version_text();

} // namespace cli

#endif
