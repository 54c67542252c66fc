// A folder's {"items":[...]} answer, byte for byte the library's nimbus_list
// answer, written while the client reads it.
#ifndef NIMBUS_TOOLS_SERVE_JSON_ANSWER_H
#define NIMBUS_TOOLS_SERVE_JSON_ANSWER_H

#include <microhttpd.h>

#include <memory>
#include <string>

#include "serve/listing.h"

namespace cli {

// The answer as a libmicrohttpd response that holds the listing until it
// is sent (folder "" is the root); null when memory ran out. media: the
// settings say "Metadata": true, so the entries carry the media keys.
MHD_Response *json_answer(const std::string &folder, std::shared_ptr<const folder_listing> l,
                          bool media);

} // namespace cli

#endif
