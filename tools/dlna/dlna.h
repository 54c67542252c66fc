// A UPnP MediaServer:1 (ContentDirectory:1 and ConnectionManager:1) over a
// folder tree that the host supplies, with SSDP discovery on the interface of
// one listen address. Built on GUPnP 1.6: SSDP, description hosting, eventing
// and the SOAP envelope are the library's; this module brings the device and
// service descriptions, the Browse paging, the DIDL-Lite answer and the limits
// on what a request may cost.
//
// Object ids: "0" is the root; every other object's id is "0" followed by its
// virtual path percent-encoded (every byte except A-Z a-z 0-9 - . _ ~ and "/"
// becomes %XX, upper-case hex), so "/Music/a b.flac" is "0/Music/a%20b.flac".
// Any path (bytes without NUL) round-trips, and an id never holds a
// character that XML, a URL or a control point could mangle. Only the
// canonical form is accepted.
//
// Browse and Search answer at most 1000 objects (control points page with
// StartingIndex/RequestedCount). Browse sorts a folder's children by its
// SortCriteria before paging, and without one shows folders first, then
// tracks by number, then names; a folder of more than 10000 children keeps
// the host's order. Search looks through what the host's search() gives.
// An empty ObjectID is the root too, as several control points send it;
// the root's metadata carries the friendly name as its title. Besides
// ContentDirectory and ConnectionManager the device offers what some
// players ask before they list a server: Samsung's X_GetFeatureList (the
// root as the container of audio, video and images) and Microsoft's
// X_MS_MediaReceiverRegistrar (every device authorised and validated).
// Only peers within the allowed networks are answered: an M-SEARCH from
// elsewhere gets no answer, and any HTTP request a 403. Requests are refused
// before GUPnP sees them when their Host is not ADDRESS:PORT (403), their
// body passes 64 KiB or holds a DOCTYPE (the connection is closed at once,
// whatever pace the body comes at), a POST holds no UTF-8 envelope with its
// action (400), a SUBSCRIBE names a callback on another host (412) or its
// address already holds 16 subscriptions, or all hold 256 (503). The UPnP
// libraries' warnings about requests go to stderr a few a minute at most.
#ifndef NIMBUS_TOOLS_DLNA_H
#define NIMBUS_TOOLS_DLNA_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "networks.h"

namespace dlna {

// One entry of the tree. Texts are taken as untrusted bytes: they are made
// valid UTF-8 without control characters and XML-escaped before any answer.
struct item {
    std::string path;   // virtual path, "/Music/a.flac"; "/" is the root
    std::string title;  // shown name; the last path segment when empty
    std::string artist; // audio only, may be empty
    std::string album;  // audio only, may be empty
    std::string mime;   // "audio/flac"; decides the UPnP class and protocolInfo
    bool folder = false;
    int64_t size = -1;        // bytes, -1 unknown
    int64_t duration_ms = -1; // -1 unknown
    int track = 0;            // 0 unknown
    int year = 0;             // 0 unknown
    int width = 0, height = 0;
    int bitrate_kbps = 0, audio_channels = 0; // 0 unknown
    int64_t child_count = -1;                 // folders: entries offered within, -1 unknown
    // Films: the virtual path of the subtitle file beside it, "" for none,
    // and its type ("text/srt" or "text/vtt").
    std::string subtitle, subtitle_mime;
};

// UPnP error codes a source may answer.
enum : int {
    no_such_object = 701,
    no_such_container = 710, // children() of an entry that is no folder
    action_failed = 501,
};

// What the server asks of the host. Called from the server's worker threads,
// several at once: an implementation must be thread-safe, and may block (a
// listing over the network), which holds only the one request.
class source {
  public:
    virtual ~source() = default;
    // The children of a folder, in the order they are to be shown: at most
    // count of them from the first-th on (a Browse page, so that a folder
    // of 100 000 entries never becomes 100 000 items at once), and in
    // *total how many the folder offers (count 0 asks for the total alone).
    // 0, or a UPnP error code
    // (no_such_object, action_failed).
    virtual int children(const std::string &folder_path, size_t first, size_t count,
                         std::vector<item> &out, size_t *total) = 0;
    // One entry ("/" is the root folder). 0, or a UPnP error code.
    virtual int lookup(const std::string &path, item &out) = 0;
    // What Search looks through: entries beneath a folder, at any depth,
    // that the host knows without asking the service (folders it keeps),
    // and, when text is not empty, those that one search of the drive for
    // text finds beneath it. Offered entries only, as children() gives
    // them, at most max; the server filters, sorts and pages them. 0, or a
    // UPnP error code.
    virtual int search(const std::string &folder_path, const std::string &text, size_t max,
                       std::vector<item> &out) {
        (void)folder_path, (void)text, (void)max, (void)out;
        return 0;
    }
    // The absolute URL a renderer fetches the file from: the gateway's URL
    // that redirects to the download URL (with its token when it has one).
    virtual std::string resource_url(const std::string &path) = 0;
    // The absolute URL of the entry's cover (album art, a poster: a JPEG of
    // at most 160x160, DLNA's JPEG_TN), "" for none. Asked for every object
    // of an answer: it must not ask the service anything.
    virtual std::string cover_url(const item &it) {
        (void)it;
        return std::string();
    }
    // ContentDirectory's SystemUpdateID: changes whenever the tree changed
    // (the host then calls server::changed). Called on the GUPnP thread
    // too: it must answer at once, never block.
    virtual uint32_t update_id() { return 0; }
};

struct options {
    std::string address;       // the listen address: "127.0.0.1", "192.168.1.5", "::1"
    uint16_t port = 0;         // the UPnP HTTP port (descriptions, SOAP); 0 picks one
    std::string friendly_name; // shown by control points
    std::string uuid;          // "uuid:" + this is the device's UDN; see load_uuid
    // SSDP CACHE-CONTROL max-age, at least 60: GSSDP sends ssdp:alive again
    // every max_age/3 - 1 seconds (599 s by default), so a control point
    // that misses two rounds still keeps the server listed.
    int max_age = 1800;
    unsigned workers = 16; // threads that call the source
    // The peers answered; empty: the network of the interface that holds
    // the address (its address and netmask; loopback for a loopback one).
    std::vector<network> allow;
};

class server {
  public:
    server();
    ~server(); // stops
    server(const server &) = delete;
    server &operator=(const server &) = delete;

    // Starts discovery and the UPnP HTTP server on the interface that holds
    // opts.address (a wildcard address is refused: discovery must stay on
    // the interfaces the host chose; start one server per address). The
    // source must outlive the server. false with a message on failure.
    bool start(const options &opts, source &src, std::string &error);
    // Sends ssdp:byebye, finishes the requests in progress, and returns when
    // no thread calls the source any more. Harmless when not running.
    void stop();
    // The networks answered while running (the default made concrete).
    std::vector<network> allowed() const;
    // The port of the UPnP HTTP server while running, else 0.
    uint16_t port() const;
    // The device description's URL while running.
    std::string description_url() const;
    // Events a change of the tree to subscribed control points: the
    // source's update_id() as SystemUpdateID, and as ContainerUpdateIDs the
    // update id of each folder named (virtual paths, "/" is the root; more
    // than max_evented_folders name none, and control points then look at
    // SystemUpdateID alone). Any thread; harmless when not running.
    void changed(const std::vector<std::string> &folders);
    static constexpr size_t max_evented_folders = 100;

    struct impl;

  private:
    std::unique_ptr<impl> d_;
};

// Reads the device UUID kept in FILE, or makes a random one and stores it
// there (mode 600, written beside it and linked into place, so a reader never
// sees half a file and two starters agree on one). false with a message when
// the file cannot be read or made, or holds anything but one UUID. An empty
// FILE keeps nothing: a UUID for this run only.
bool load_uuid(const std::string &file, std::string &uuid, std::string &error);
// Whether u is one UUID in the lower-case 8-4-4-4-12 form load_uuid makes.
bool uuid_well_formed(const std::string &u);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_H
