// The DLNA/UPnP MediaServer beside the gateway (--dlna): the gateway's
// drive as the server's tree, the server's start and stop, and what
// renderers ask of a resource URL. In a build without GUPnP there is no
// server, and these say so.
#ifndef NIMBUS_TOOLS_SERVE_MEDIA_H
#define NIMBUS_TOOLS_SERVE_MEDIA_H

#include "serve/gateway.h"
#include "serve/listen.h"

#include <microhttpd.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace cli {

class media_server {
  public:
    explicit media_server(gateway &g);
    ~media_server();
    media_server(const media_server &) = delete;
    media_server &operator=(const media_server &) = delete;

    // Whether this build has a MediaServer.
    static bool available();
    // Starts the server on the listen address, the gateway's port known,
    // and has the change feed tell it every change; false with a message.
    bool start(const options &o, const listen_address &addr, std::string *error);
    // Says goodbye (ssdp:byebye) and stops; nothing when it never started.
    void stop();

  private:
    struct impl;
    gateway &g_;
    std::unique_ptr<impl> impl_;
};

// The most folders one change event names (past this it names none): 0
// without a MediaServer.
size_t media_evented_folders();

// The DLNA headers a renderer asked for, for the file at path: with
// getcontentFeatures.dlna.org: 1, contentFeatures.dlna.org (the fourth
// protocolInfo field of its Browse answer, from the same facts) and its
// transferMode.dlna.org; a transfer mode the renderer names is echoed.
void add_media_headers(MHD_Connection *c, const std::string &path, const file_facts &facts,
                       std::vector<std::pair<std::string, std::string>> *extra);

} // namespace cli

#endif
