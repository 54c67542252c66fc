// The MediaServer beside the gateway (see media.h): the one place that
// knows whether the build has GUPnP.
#include "serve/media.h"

#include "output.h"
#include "serve/folders.h"
#include "serve/media_types.h"
#include "serve/pages.h"
#include "serve/subtitles.h"
#include "text.h"

#ifdef NIMBUS_DLNA
#include <didl.h>
#include <dlna.h>
#include <profiles.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <new>
#include <string_view>
#endif

namespace cli {

#ifdef NIMBUS_DLNA

namespace {

// The gateway's drive as the MediaServer's tree: listings come from the
// folder cache (a control point browsing an album costs one listing), files
// play through the gateway's own file URLs. Unless everything is asked for
// (--dlna-all), only folders and what a TV can play or show are offered:
// a page and its total count the offered entries alone, so paging stays
// exact, and an entry left out is no object at all.
class drive_source : public dlna::source {
  public:
    drive_source(gateway &g, std::string base, bool all)
        : g_(g), base_(std::move(base)), all_(all) {}

    int children(const std::string &folder_path, size_t first, size_t count,
                 std::vector<dlna::item> &out, size_t *total) override {
        std::string folder = folder_path == "/" ? std::string() : folder_path;
        std::shared_ptr<const folder_listing> l;
        int rc = listing_of(g_, folder, &l);
        if (rc == NIMBUS_E_AUTH && locked_folder(g_, folder)) {
            *total = 0; // a locked vault: a container with nothing to show
            return 0;
        }
        if (rc != NIMBUS_OK)
            return upnp_code(rc);
        try {
            *total = page(*l, folder, first, count, &out);
        } catch (...) {
            return dlna::action_failed;
        }
        return 0;
    }

    int lookup(const std::string &path, dlna::item &out) override {
        if (path == "/") {
            out = dlna::item();
            out.path = "/";
            out.folder = true; // the server counts the root's children itself
            return 0;
        }
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash + 1 == path.size())
            return dlna::no_such_object;
        std::string parent = path.substr(0, slash), name = path.substr(slash + 1);
        std::shared_ptr<const folder_listing> l;
        int rc = listing_of(g_, parent, &l);
        if (rc != NIMBUS_OK)
            return rc == NIMBUS_E_NOT_FOLDER ? dlna::no_such_object : upnp_code(rc);
        dlna::item probe;
        for (size_t i = 0; i < l->size(); i++)
            if (l->row(i).name == name) {
                if (!all_ && !offered(l->row(i), probe))
                    return dlna::no_such_object;
                out = item_of(parent, l->row(i));
                if (out.folder) {
                    count_children(out);
                } else if (is_film(l->row(i))) {
                    try {
                        add_subtitle(out, parent, subtitle_for(*l, l->row(i).name));
                    } catch (...) { // no room for the index: the film without it
                        out.subtitle.clear();
                        out.subtitle_mime.clear();
                    }
                }
                return 0;
            }
        return dlna::no_such_object;
    }

    // Search reads the container as Browse would (usually kept already),
    // and beneath it only the folders the cache keeps: no request goes out
    // for them. A text adds what one drive search for it finds beneath the
    // container, cut at the search page's bound; when that search fails,
    // the kept folders still answer.
    int search(const std::string &folder_path, const std::string &text, size_t max,
               std::vector<dlna::item> &out) override {
        std::string top = folder_path == "/" ? std::string() : folder_path;
        std::shared_ptr<const folder_listing> l;
        int rc = listing_of(g_, top, &l);
        if (rc == NIMBUS_E_AUTH && locked_folder(g_, top))
            return 0;
        if (rc != NIMBUS_OK)
            return upnp_code(rc);
        size_t kept_max = text.empty() || max < kSearchRows ? max : max - kSearchRows;
        try {
            std::deque<std::pair<std::string, std::shared_ptr<const folder_listing>>> todo;
            todo.emplace_back(top, l);
            dlna::item probe;
            for (size_t folders = 0; !todo.empty() && folders < kSearchedFolders; folders++) {
                std::string folder = todo.front().first;
                std::shared_ptr<const folder_listing> listing = todo.front().second;
                todo.pop_front();
                for (uint32_t k : listing->order()) {
                    folder_row r = listing->row(k);
                    if (out.size() >= kept_max)
                        break;
                    if (!all_ && !offered(r, probe))
                        continue;
                    out.push_back(item_of(folder, r));
                    if (!r.folder)
                        continue;
                    std::shared_ptr<const folder_listing> sub = g_.folders.find(out.back().path);
                    if (sub)
                        todo.emplace_back(out.back().path, std::move(sub));
                }
            }
            if (!text.empty())
                search_drive(top, text, max, out);
        } catch (...) {
            return dlna::action_failed;
        }
        return 0;
    }

    uint32_t update_id() override { return g_.update_id; }

    // The bytes come through the gateway (?stream=1): many renderers do not
    // follow a redirect from a resource URL. With a secret the URL carries a
    // capability for this file only: a Browse answer goes to any host that
    // may browse, and the secret opens the whole gateway.
    std::string resource_url(const std::string &path) override {
        std::string url = base_ + url_encode(path, true) + "?stream=1";
        std::string c = g_.caps.suffix(path, std::time(nullptr));
        if (!c.empty())
            url += "&" + c;
        return url;
    }

    // The gateway's small cover of a track, film or picture, and of a
    // folder other than the root (the gateway takes a folder's own
    // thumbnail, else its first track's, film's or picture's), with a
    // capability for that cover alone. A folder whose kept listing shows
    // nothing such a cover could come from gets none; one not kept yet gets
    // it, since knowing would cost a listing per folder of a Browse page.
    std::string cover_url(const dlna::item &it) override {
        bool media = !it.folder && (it.mime.compare(0, 6, "audio/") == 0 ||
                                    it.mime.compare(0, 6, "video/") == 0 ||
                                    (it.mime.compare(0, 6, "image/") == 0 && dlna::offered(it)));
        if (!media && !(it.folder && it.path != "/" && may_have_cover(it.path)))
            return std::string();
        std::string path = it.folder ? it.path + "/" : it.path;
        std::string url = base_ + url_encode(path, true) + "?cover=small";
        std::string c = g_.caps.suffix(path, std::time(nullptr), capability_scope::cover);
        if (!c.empty())
            url += "&" + c;
        return url;
    }

  private:
    bool may_have_cover(const std::string &folder) const {
        std::shared_ptr<const folder_listing> l = g_.folders.find(folder);
        if (!l)
            return true;
        for (size_t i = 0; i < l->size(); i++) {
            std::string_view m = l->row(i).mime;
            if (m.substr(0, 6) == "audio/" || m.substr(0, 6) == "video/" ||
                m.substr(0, 6) == "image/")
                return true;
        }
        return false;
    }

    // Kept folders one Search reads at most.
    static constexpr size_t kSearchedFolders = 1000;

    // Appends what the drive search for text finds beneath top ("" the
    // root), at most kSearchRows entries looked at, out at most max long.
    void search_drive(const std::string &top, const std::string &text, size_t max,
                      std::vector<dlna::item> &out) const {
        struct found {
            std::vector<dlna::item> *out;
            std::string under;
            size_t max, seen;
            bool all, failed;
        } f{&out, top + "/", max, 0, all_, false};
        auto take = [](void *ctx, const nimbus_entry *e) -> int {
            auto &f = *static_cast<found *>(ctx);
            if (f.seen == kSearchRows || f.out->size() >= f.max)
                return 1;
            f.seen++;
            if (!e->path || !e->name || std::strncmp(e->path, f.under.data(), f.under.size()) != 0)
                return 0;
            try {
                dlna::item it;
                it.path = e->path;
                it.folder = e->folder != 0;
                it.title = e->title && *e->title ? e->title : e->name;
                if (!it.folder) {
                    it.mime = e->mime_type ? e->mime_type : kUnknownMediaType;
                    it.artist = e->artist ? e->artist : "";
                    it.album = e->album ? e->album : "";
                    it.size = e->size;
                    it.duration_ms = e->duration_ms > 0 ? e->duration_ms : -1;
                    it.track = e->track;
                    it.year = e->year;
                    it.width = e->width;
                    it.height = e->height;
                    it.bitrate_kbps = e->bitrate_kbps;
                    it.audio_channels = e->audio_channels;
                }
                if (f.all || dlna::offered(it))
                    f.out->push_back(std::move(it));
            } catch (...) {
                f.failed = true;
                return 1;
            }
            return 0;
        };
        nimbus_drive_search(g_.ctx.drive(), text.c_str(), take, &f);
        if (f.failed)
            throw std::bad_alloc();
    }

    static int upnp_code(int rc) {
        switch (rc) {
        case NIMBUS_E_NOT_FOUND:
        case NIMBUS_E_BAD_PATH:
            return dlna::no_such_object;
        case NIMBUS_E_NOT_FOLDER:
            return dlna::no_such_container;
        default:
            return dlna::action_failed;
        }
    }

    // Appends the entries first to first + count - 1 of what the folder
    // offers to out (when out is not null); returns how many it offers.
    size_t page(const folder_listing &l, const std::string &folder, size_t first, size_t count,
                std::vector<dlna::item> *out) const {
        const std::vector<uint32_t> &order = l.order();
        size_t had = out ? out->size() : 0;
        if (all_) {
            for (size_t k = first; out && k < order.size() && out->size() < count; k++)
                out->push_back(item_of(folder, l.row(order[k])));
            add_subtitles(l, folder, out, had);
            return l.size();
        }
        size_t shown = 0;
        dlna::item probe; // its texts keep their room from row to row
        for (uint32_t k : order) {
            folder_row r = l.row(k);
            if (!offered(r, probe))
                continue;
            if (out && shown >= first && out->size() < count)
                out->push_back(item_of(folder, r));
            shown++;
        }
        add_subtitles(l, folder, out, had);
        return shown;
    }

    // The films among (*out)[from...] get the subtitle beside them: one
    // pass over the folder for the page, and none for a page without films.
    static void add_subtitles(const folder_listing &l, const std::string &folder,
                              std::vector<dlna::item> *out, size_t from) {
        if (!out)
            return;
        std::unique_ptr<subtitle_index> subs;
        for (size_t i = from; i < out->size(); i++) {
            dlna::item &it = (*out)[i];
            if (it.folder || it.mime.compare(0, 6, "video/") != 0)
                continue;
            if (!subs)
                subs.reset(new subtitle_index(l));
            add_subtitle(it, folder, subs->find(it.path.substr(folder.size() + 1)));
        }
    }

    static void add_subtitle(dlna::item &it, const std::string &folder, std::string_view name) {
        if (name.empty())
            return;
        it.subtitle = folder + "/" + std::string(name);
        it.subtitle_mime = subtitle_type(name);
    }

    // A folder's own metadata says how many children it offers: the
    // control point that asks is about to list it, so the listing is not
    // wasted. Unknown when the listing fails (a locked vault, say).
    void count_children(dlna::item &it) {
        std::string folder = it.path == "/" ? std::string() : it.path;
        std::shared_ptr<const folder_listing> l;
        if (listing_of(g_, folder, &l) == NIMBUS_OK)
            it.child_count = static_cast<int64_t>(page(*l, folder, 0, 0, nullptr));
    }

    // Whether a media-only Browse shows the row; probe is scratch room.
    static bool offered(const folder_row &r, dlna::item &probe) {
        probe.folder = r.folder;
        probe.path.assign(r.name.data(), r.name.size());
        if (r.mime.empty())
            probe.mime = kUnknownMediaType;
        else
            probe.mime.assign(r.mime.data(), r.mime.size());
        return dlna::offered(probe);
    }

    static dlna::item item_of(const std::string &folder, const folder_row &r) {
        dlna::item it;
        std::string name(r.name);
        it.path = folder + "/" + name;
        it.folder = r.folder;
        it.title = r.title.empty() ? name : std::string(r.title);
        if (!r.folder) {
            it.mime = r.mime.empty() ? kUnknownMediaType : std::string(r.mime);
            it.artist = r.artist;
            it.album = r.album;
            it.size = r.size;
            it.duration_ms = r.duration_ms > 0 ? r.duration_ms : -1;
            it.track = r.track;
            it.year = r.year;
            it.width = r.width;
            it.height = r.height;
            it.bitrate_kbps = r.bitrate_kbps;
            it.audio_channels = r.audio_channels;
        }
        return it;
    }

    gateway &g_;
    std::string base_; // "http://ADDRESS:PORT"
    bool all_;         // every file, not media only
};

// The device UUID file: beside the settings file.
std::string uuid_file(const context &ctx) {
    const std::string &settings = ctx.path();
    if (settings.empty()) // the demo has no settings file, so no folder of its own
        return "";
    size_t slash = settings.rfind('/');
    return (slash == std::string::npos ? std::string(".") : settings.substr(0, slash)) +
           "/dlna-uuid";
}

} // namespace

struct media_server::impl {
    std::unique_ptr<drive_source> source;
    dlna::server server;
};

media_server::media_server(gateway &g) : g_(g) {}

media_server::~media_server() = default;

bool media_server::available() {
    return true;
}

bool media_server::start(const options &o, const listen_address &addr, std::string *error) {
    impl_.reset(new impl);
    dlna::options mo;
    mo.address = addr.is_v6 ? addr.host.substr(1, addr.host.size() - 2) : addr.host;
    if (!o.dlna_allow.empty()) // checked with the command line
        dlna::parse_networks(o.dlna_allow, mo.allow);
    if (!o.dlna_name.empty()) { // checked with the command line
        mo.friendly_name = o.dlna_name;
    } else {
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        mo.friendly_name = std::string("nimbus on ") + (name[0] ? name : "this host");
    }
    // TVs and firewall rules remember a server by its port as well as its
    // UUID: the same options give the same port at every start. A listen
    // port of 0 asks for any free port, and so does the UPnP side then.
    uint16_t listen_port = port_of(addr);
    bool derived = o.dlna_port == 0;
    mo.port = !derived               ? static_cast<uint16_t>(o.dlna_port)
              : listen_port == 0     ? 0
              : listen_port == 65535 ? 65534
                                     : static_cast<uint16_t>(listen_port + 1);
    impl_->source.reset(new drive_source(
        g_, "http://" + addr.host + ":" + std::to_string(static_cast<unsigned>(g_.port)),
        o.dlna_all));
    std::string file = uuid_file(g_.ctx);
    if (!dlna::load_uuid(file, mo.uuid, *error))
        return false;
    if (!impl_->server.start(mo, *impl_->source, *error)) {
        if (mo.port != 0)
            *error += std::string("; the UPnP port ") + std::to_string(mo.port) +
                      (derived ? " (by default, next to the listen port)" : "") +
                      " must be free: choose another with --dlna-port";
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(g_.feed_lock);
        dlna::server &media = impl_->server;
        g_.on_change = [&media](const std::vector<std::string> &folders) {
            media.changed(folders);
        };
    }
    std::fprintf(stderr, "nimbus: DLNA MediaServer %s (device UUID %s)\n",
                 impl_->server.description_url().c_str(),
                 file.empty() ? "for this run only" : ("in " + printable(file)).c_str());
    std::fflush(stderr);
    return true;
}

void media_server::stop() {
    if (impl_)
        impl_->server.stop();
}

size_t media_evented_folders() {
    return dlna::server::max_evented_folders;
}

void add_media_headers(MHD_Connection *c, const std::string &path, const file_facts &facts,
                       std::vector<std::pair<std::string, std::string>> *extra) {
    // What DLNA renderers ask of a media server's resource URL.
    const char *features =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, "getcontentFeatures.dlna.org");
    const char *mode = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "transferMode.dlna.org");
    bool named =
        mode && (std::strcmp(mode, "Streaming") == 0 || std::strcmp(mode, "Interactive") == 0 ||
                 std::strcmp(mode, "Background") == 0);
    if (features && std::strcmp(features, "1") == 0) {
        dlna::item it;
        it.path = path;
        it.mime = facts.type.empty() ? kUnknownMediaType : facts.type;
        it.size = facts.size;
        it.duration_ms = facts.duration_ms > 0 ? facts.duration_ms : -1;
        it.width = facts.width;
        it.height = facts.height;
        extra->emplace_back("contentFeatures.dlna.org", dlna::content_features(it));
        if (!named && dlna::transfer_mode(it))
            extra->emplace_back("transferMode.dlna.org", dlna::transfer_mode(it));
    }
    if (named)
        extra->emplace_back("transferMode.dlna.org", mode);
}

#else

struct media_server::impl {};

media_server::media_server(gateway &g) : g_(g) {}

media_server::~media_server() = default;

bool media_server::available() {
    return false;
}

bool media_server::start(const options &, const listen_address &, std::string *error) {
    *error = "this build has no DLNA server";
    return false;
}

void media_server::stop() {}

size_t media_evented_folders() {
    return 0;
}

void add_media_headers(MHD_Connection *, const std::string &, const file_facts &,
                       std::vector<std::pair<std::string, std::string>> *) {}

#endif

} // namespace cli
