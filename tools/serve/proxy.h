// The gateway's byte proxy: a file's download URL fetched by libcurl and
// streamed to the client through a libmicrohttpd response, the client's
// Range passed through. For players that do not follow a redirect (many
// DLNA renderers); everything else gets the 302 to the download URL.
#ifndef NIMBUS_TOOLS_SERVE_PROXY_H
#define NIMBUS_TOOLS_SERVE_PROXY_H

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct MHD_Connection;
struct MHD_Response;

namespace cli {

// Bytes held per stream between the service and the client; the transfer
// from the service waits while the client has not taken them.
constexpr size_t kProxyBuffer = 256 * 1024;
// Streams at once; one more is answered 503.
constexpr unsigned kProxyStreams = 32;

struct proxy_answer {
    unsigned status = 0;              // the service's: 200, 206 or 416; 0 when it failed
    MHD_Response *response = nullptr; // owned by the caller once status is set
    std::vector<std::pair<std::string, std::string>> headers; // to add to the response
    std::string error;                                        // why, when status is 0
    bool busy = false;                                        // kProxyStreams already run
    bool refused = false; // the service answered 401, 403, 404 or 410 (the URL expired)
};

class proxy {
  public:
    proxy(std::string cacert, std::vector<std::string> connect_to);
    ~proxy(); // cancels every stream and waits for its thread
    proxy(const proxy &) = delete;
    proxy &operator=(const proxy &) = delete;

    // Fetches URL (with RANGE when it is a plain "bytes=" range, else the
    // whole file) for the request on C, and waits for the service's answer
    // line and headers. The connection is suspended while the client is
    // ahead of the service, so no pool thread waits on the body. The
    // daemon must allow suspend and resume.
    proxy_answer open(MHD_Connection *c, const std::string &url, const char *range);
    // Ends every stream under way (a server's stop): their clients see the
    // connection close. Returns when no stream thread is left.
    void cancel_all();

    struct stream; // one transfer, in proxy.cpp

  private:
    void ended();

    std::string cacert_;
    std::vector<std::string> connect_to_;
    std::mutex lock_;
    std::condition_variable idle_;
    unsigned running_ = 0;
    bool cancelled_ = false;
    std::vector<stream *> streams_;
    friend struct stream;
};

} // namespace cli

#endif
