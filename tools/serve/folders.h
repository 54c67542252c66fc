// What the gateway knows of the drive's folders and items: a folder's
// listing (kept, or asked of the service once however many requests want
// it), and one item's lookup.
#ifndef NIMBUS_TOOLS_SERVE_FOLDERS_H
#define NIMBUS_TOOLS_SERVE_FOLDERS_H

#include "serve/gateway.h"

#include <memory>
#include <string>

namespace cli {

// The service's pre-authenticated download URLs are one or two KiB; a longer
// one is not cached or handed to a player (4096 cached at 8 KiB: 32 MiB).
constexpr size_t kMaxLocator = 8192;

// The folder's listing from the cache, or from the service (then kept).
// "" is the root. NIMBUS_OK, a library code, listing_busy or
// listing_too_large.
int listing_of(gateway &g, const std::string &folder, std::shared_ptr<const folder_listing> *out);

// Whether listing_of would answer at once for FOLDER: it is kept, and the
// feed is not due to be asked first.
bool listing_at_hand(gateway &g, const std::string &folder);

// An item looked up: is it there, is it a folder, its download URL.
struct item_look {
    bool folder = false;
    std::string url;
    file_facts facts;
    bool url_too_long = false;
};

// nimbus_drive_item's callback, into an item_look.
int look_item(void *ctx, const nimbus_entry *e);

// The nearest folder above path that exists ("/" when none is known).
std::string nearest_parent(gateway &g, std::string path);

// After a listing refused for want of authorisation (NIMBUS_E_AUTH):
// whether the refusal was this folder's alone, which the service keeps
// locked (a Personal Vault), rather than the sign-in's.
bool locked_folder(gateway &g, const std::string &folder);

} // namespace cli

#endif
