// The GUPnP side of the MediaServer. GUPnP runs on one thread of its own with
// a private main context; Browse runs on a few worker threads (a listing may
// wait on the network) and its answer goes back to the GUPnP thread, which
// alone touches GUPnP objects.
#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <new>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "criteria.h"
#include "descriptions.h"
#include "didl.h"
#include "dlna.h"
#include "gate.h"
#include "soap.h"
#include "work_queue.h"

namespace dlna {

namespace {

constexpr uint32_t max_page = 1000; // objects in one Browse answer
constexpr size_t max_queued = 64;   // Browse requests waiting for a worker
// A folder is sorted whole before a page is cut from it; a larger one keeps
// the host's order (the gateway's: folders first, then names).
constexpr size_t max_sorted = 10000;
// What one Search looks through at most.
constexpr size_t max_searched = 5000;
// GSSDP re-announces every max-age/3 - 1 seconds from 7 s on (below that,
// every max-age seconds, when the announcement has already expired).
constexpr long min_max_age = 7;

struct reply {
    int error = 0;
    std::string result;
    uint32_t returned = 0, total = 0, update_id = 0;
    // The whole SOAP body, written on the worker, when the answer goes out
    // as it is: GUPnP would escape result again on its own thread, the one
    // every request passes through.
    std::string soap;
};

struct job {
    GUPnPServiceAction *action;
    browse_request req;
    std::vector<sort_key> sort;
    std::shared_ptr<const search_criteria> search; // null for Browse
    bool plain = false; // the answer may go uncompressed (no Accept-Encoding)
};

bool write_file(const std::string &path, const std::string &text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

void quiet(void *, const char *, ...) {}

const char *error_text(int code) {
    switch (code) {
    case invalid_args:
        return "Invalid Args";
    case no_such_object:
        return "No such object";
    case no_such_container:
        return "No such container";
    case bad_search_criteria:
        return "Unsupported or invalid search criteria";
    case bad_sort_criteria:
        return "Unsupported or invalid sort criteria";
    default:
        return "Action Failed";
    }
}

} // namespace

struct server::impl {
    options opts;
    source *src = nullptr;

    GMainContext *ctx = nullptr;
    GMainLoop *loop = nullptr;
    std::thread loop_thread;
    GUPnPContext *gctx = nullptr;
    GUPnPRootDevice *root = nullptr;
    GUPnPServiceInfo *cds = nullptr, *cm = nullptr, *registrar = nullptr;
    std::string dir; // the description files
    uint16_t port = 0;
    std::string location;
    gate guard; // who may ask what; touched on the GUPnP thread only

    std::mutex m;          // guards stopping
    bool stopping = false; // no change is told once the stop began
    cli::work_queue workers{max_queued};

    bool setup(std::string &error);
    void teardown();
    void answer(const job &j, bool dropped);
    reply browse(const job &j);
    reply search(const job &j);
    // The resource URL of a film's subtitle, "" when it has none.
    std::string subtitle_url(const item &it) {
        return it.folder || it.subtitle.empty() ? std::string() : src->resource_url(it.subtitle);
    }
    void enqueue(job j);
    static void finish(GUPnPServiceAction *action, const reply &r);
};

server::server() : d_(new impl) {}

server::~server() {
    stop();
}

bool server::start(const options &opts, source &src, std::string &error) {
    if (d_->loop)
        return error = "already running", false;
    if (!uuid_well_formed(opts.uuid))
        return error = "not a device UUID: " + opts.uuid, false;
    GInetAddress *addr = g_inet_address_new_from_string(opts.address.c_str());
    if (!addr)
        return error = "not an IP address: " + opts.address, false;
    bool any = g_inet_address_get_is_any(addr);
    g_object_unref(addr);
    if (any)
        return error = "discovery needs the address of one interface, not " + opts.address, false;

    impl &d = *d_;
    d.opts = opts;
    network own;
    d.guard.local_known = interface_network(opts.address, own);
    d.guard.local = own;
    if (d.opts.allow.empty()) {
        if (!d.guard.local_known)
            return error = "no interface of this host holds " + opts.address, false;
        d.opts.allow.push_back(own);
    }
    if (d.opts.max_age < 60)
        d.opts.max_age = 60;
    // Tests shorten the announcement period to see a repeat within seconds.
    if (const char *knob = std::getenv("NIMBUS_DLNA_MAX_AGE")) {
        long v = std::strtol(knob, nullptr, 10);
        if (v >= min_max_age && v <= 86400)
            d.opts.max_age = static_cast<int>(v);
    }
    if (d.opts.workers == 0)
        d.opts.workers = 1;
    d.src = &src;
    d.stopping = false;
    d.ctx = g_main_context_new();
    d.loop = g_main_loop_new(d.ctx, FALSE);

    std::promise<std::string> started;
    std::future<std::string> outcome = started.get_future();
    d.loop_thread = std::thread([&d, &started] {
        g_main_context_push_thread_default(d.ctx);
        std::string err;
        bool ok = d.setup(err);
        started.set_value(ok ? std::string() : err.empty() ? std::string("failed") : err);
        if (ok)
            g_main_loop_run(d.loop);
        d.teardown();
        g_main_context_pop_thread_default(d.ctx);
    });
    error = outcome.get();
    if (!error.empty()) {
        d.loop_thread.join();
        g_main_loop_unref(d.loop);
        g_main_context_unref(d.ctx);
        d.loop = nullptr;
        d.ctx = nullptr;
        return false;
    }
    if (!d.workers.start(d.opts.workers)) {
        error = "cannot start a thread";
        stop();
        return false;
    }
    return true;
}

void server::stop() {
    impl &d = *d_;
    if (!d.loop)
        return;
    {
        std::lock_guard<std::mutex> lock(d.m);
        d.stopping = true;
    }
    d.workers.stop();
    // Every answer the workers posted is dispatched before the loop ends:
    // the quit is queued behind them.
    g_main_context_invoke(
        d.ctx,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop *>(loop));
            return G_SOURCE_REMOVE;
        },
        d.loop);
    d.loop_thread.join();
    g_main_loop_unref(d.loop);
    g_main_context_unref(d.ctx);
    d.loop = nullptr;
    d.ctx = nullptr;
}

void server::changed(const std::vector<std::string> &folders) {
    impl &d = *d_;
    struct change {
        impl *d;
        uint32_t id;
        std::string containers; // "ID,UPDATEID,ID,UPDATEID"
    };
    auto *c = new (std::nothrow) change{&d, 0, std::string()};
    if (!c)
        return;
    try {
        c->id = d.src ? d.src->update_id() : 0;
        if (folders.size() <= max_evented_folders)
            for (const std::string &f : folders)
                c->containers +=
                    (c->containers.empty() ? "" : ",") + object_id(f) + "," + std::to_string(c->id);
    } catch (...) {
        c->containers.clear();
    }
    std::lock_guard<std::mutex> lock(d.m);
    if (!d.loop || d.stopping) {
        delete c;
        return;
    }
    // GUPnP objects are touched on their own thread only; the stop queues
    // its quit behind this, and the teardown dispatches what is queued
    // while the service still exists.
    g_main_context_invoke_full(
        d.ctx, G_PRIORITY_DEFAULT,
        [](gpointer p) -> gboolean {
            auto *x = static_cast<change *>(p);
            if (GUPnPServiceInfo *cds = x->d->cds) {
                if (x->containers.empty())
                    gupnp_service_notify(GUPNP_SERVICE(cds), "SystemUpdateID", G_TYPE_UINT, x->id,
                                         NULL);
                else
                    gupnp_service_notify(GUPNP_SERVICE(cds), "SystemUpdateID", G_TYPE_UINT, x->id,
                                         "ContainerUpdateIDs", G_TYPE_STRING, x->containers.c_str(),
                                         NULL);
            }
            return G_SOURCE_REMOVE;
        },
        c, [](gpointer p) { delete static_cast<change *>(p); });
}

std::vector<network> server::allowed() const {
    return d_->loop ? d_->opts.allow : std::vector<network>();
}

uint16_t server::port() const {
    return d_->loop ? d_->port : 0;
}

std::string server::description_url() const {
    return d_->loop ? d_->location : std::string();
}

namespace {

char *arg(GUPnPServiceAction *action, const char *name) {
    char *value = nullptr;
    gupnp_service_action_get(action, name, G_TYPE_STRING, &value, NULL);
    return value;
}

void on_action(GUPnPService *, GUPnPServiceAction *action, gpointer data) {
    auto *d = static_cast<server::impl *>(data);
    const char *name = gupnp_service_action_get_name(action);
    if (std::strcmp(name, "Browse") == 0 || std::strcmp(name, "Search") == 0) {
        bool browsing = name[0] == 'B';
        char *id = arg(action, browsing ? "ObjectID" : "ContainerID");
        char *flag = browsing ? arg(action, "BrowseFlag") : g_strdup("BrowseDirectChildren");
        char *start = arg(action, "StartingIndex"), *count = arg(action, "RequestedCount");
        char *sort = arg(action, "SortCriteria");
        char *criteria = browsing ? nullptr : arg(action, "SearchCriteria");
        job j{action, browse_request(), {}, nullptr, false};
        // GUPnP compresses an answer for a client that accepts it; such an
        // answer is left to GUPnP whole. The message comes with a reference.
        if (SoupServerMessage *msg =
                browsing ? gupnp_service_action_get_message(action) : nullptr) {
            j.plain = !soup_message_headers_get_list(soup_server_message_get_request_headers(msg),
                                                     "Accept-Encoding");
            g_object_unref(msg);
        }
        int rc = 0;
        try {
            rc = read_browse(id, flag, start, count, j.req);
            if (rc == 0)
                rc = read_sort(sort, j.sort);
            if (rc == 0 && !browsing) {
                auto c = std::make_shared<search_criteria>();
                rc = read_search(criteria, *c);
                j.search = c;
            }
        } catch (...) {
            rc = action_failed;
        }
        g_free(id), g_free(flag), g_free(start), g_free(count), g_free(sort), g_free(criteria);
        if (rc != 0)
            gupnp_service_action_return_error(action, static_cast<guint>(rc), error_text(rc));
        else
            d->enqueue(std::move(j));
    } else if (std::strcmp(name, "X_GetFeatureList") == 0) {
        gupnp_service_action_set(action, "FeatureList", G_TYPE_STRING, feature_list, NULL);
        gupnp_service_action_return_success(action);
    } else if (std::strcmp(name, "IsAuthorized") == 0 || std::strcmp(name, "IsValidated") == 0) {
        gupnp_service_action_set(action, "Result", G_TYPE_INT, 1, NULL);
        gupnp_service_action_return_success(action);
    } else if (std::strcmp(name, "RegisterDevice") == 0) {
        gupnp_service_action_set(action, "RegistrationRespMsg", G_TYPE_STRING, "", NULL);
        gupnp_service_action_return_success(action);
    } else if (std::strcmp(name, "GetSearchCapabilities") == 0) {
        gupnp_service_action_set(action, "SearchCaps", G_TYPE_STRING, search_capabilities, NULL);
        gupnp_service_action_return_success(action);
    } else if (std::strcmp(name, "GetSortCapabilities") == 0) {
        gupnp_service_action_set(action, "SortCaps", G_TYPE_STRING, sort_capabilities, NULL);
        gupnp_service_action_return_success(action);
    } else if (std::strcmp(name, "GetSystemUpdateID") == 0) {
        gupnp_service_action_set(action, "Id", G_TYPE_UINT, d->src->update_id(), NULL);
        gupnp_service_action_return_success(action);
    } else if (std::strcmp(name, "GetProtocolInfo") == 0) {
        gupnp_service_action_set(action, "Source", G_TYPE_STRING, source_protocols, "Sink",
                                 G_TYPE_STRING, "", NULL);
        gupnp_service_action_return_success(action);
    } else if (std::strcmp(name, "GetCurrentConnectionIDs") == 0) {
        gupnp_service_action_set(action, "ConnectionIDs", G_TYPE_STRING, "0", NULL);
        gupnp_service_action_return_success(action);
    } else if (std::strcmp(name, "GetCurrentConnectionInfo") == 0) {
        // Only the default connection 0 exists: no PrepareForConnection.
        char *id = arg(action, "ConnectionID");
        bool zero = id && std::strcmp(id, "0") == 0;
        g_free(id);
        if (!zero) {
            gupnp_service_action_return_error(action, 706, "Invalid connection reference");
            return;
        }
        gupnp_service_action_set(action, "RcsID", G_TYPE_INT, -1, "AVTransportID", G_TYPE_INT, -1,
                                 "ProtocolInfo", G_TYPE_STRING, "", "PeerConnectionManager",
                                 G_TYPE_STRING, "", "PeerConnectionID", G_TYPE_INT, -1, "Direction",
                                 G_TYPE_STRING, "Output", "Status", G_TYPE_STRING, "OK", NULL);
        gupnp_service_action_return_success(action);
    } else {
        gupnp_service_action_return_error(action, 401, "Invalid Action");
    }
}

void on_query(GUPnPService *, char *variable, GValue *value, gpointer data) {
    auto *d = static_cast<server::impl *>(data);
    if (std::strcmp(variable, "SystemUpdateID") == 0) {
        g_value_init(value, G_TYPE_UINT);
        g_value_set_uint(value, d->src->update_id());
    } else if (std::strstr(variable, "UpdateID")) { // the registrar's: nothing ever changes
        g_value_init(value, G_TYPE_UINT);
        g_value_set_uint(value, 0);
    } else {
        g_value_init(value, G_TYPE_STRING);
        g_value_set_string(value, std::strcmp(variable, "SourceProtocolInfo") == 0
                                      ? source_protocols
                                  : std::strcmp(variable, "CurrentConnectionIDs") == 0 ? "0"
                                                                                       : "");
    }
}

} // namespace

bool server::impl::setup(std::string &error) {
    // GUPnP parses SOAP with libxml2 on this thread: a malformed request is
    // answered with an error, not printed on the host's standard error.
    xmlSetGenericErrorFunc(nullptr, quiet);
    xmlSetStructuredErrorFunc(nullptr, [](void *, xmlErrorPtr) {});
    limit_library_logs();
    GError *err = nullptr;
    GInetAddress *addr = g_inet_address_new_from_string(opts.address.c_str());
    // Asked for no port in particular, GUPnP 1.6 picks one itself, and under
    // load its pick was seen to be in use already ("Address already in
    // use"): a busy machine must not keep the MediaServer from starting, so
    // a few more picks are tried before giving up.
    for (int attempt = 0; attempt < 8; attempt++) {
        g_clear_error(&err);
        gctx = gupnp_context_new_for_address(addr, opts.port, GSSDP_UDA_VERSION_1_0, &err);
        if (gctx || opts.port != 0)
            break;
    }
    g_object_unref(addr);
    if (!gctx) {
        error = std::string("cannot start UPnP on ") + opts.address + ": " +
                (err ? err->message : "unknown error");
        g_clear_error(&err);
        return false;
    }
    port = static_cast<uint16_t>(gupnp_context_get_port(gctx));
    std::string host =
        (opts.address.find(':') != std::string::npos ? "[" + opts.address + "]" : opts.address) +
        ":" + std::to_string(port);
    guard.allow = opts.allow;
    parse_address(opts.address, guard.self);
    guard.host = host;
    guard_context(gctx, guard);

    // GUPnP reads the descriptions from files: a private folder per server.
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/nimbus-dlna-XXXXXX";
    if (!::mkdtemp(&templ[0]))
        return error = "cannot make a folder for the descriptions: " + templ, false;
    dir = templ;
    if (!write_file(dir + "/description.xml", device_description(opts.friendly_name, opts.uuid)) ||
        !write_file(dir + "/ContentDirectory.xml", content_directory_scpd) ||
        !write_file(dir + "/ConnectionManager.xml", connection_manager_scpd) ||
        !write_file(dir + "/X_MS_MediaReceiverRegistrar.xml", registrar_scpd))
        return error = "cannot write the descriptions in " + dir, false;

    root = gupnp_root_device_new(gctx, "description.xml", dir.c_str(), &err);
    if (!root) {
        error = std::string("cannot make the UPnP device: ") + (err ? err->message : "unknown");
        g_clear_error(&err);
        return false;
    }
    gssdp_resource_group_set_max_age(gupnp_root_device_get_ssdp_resource_group(root),
                                     static_cast<guint>(opts.max_age));
    cds = gupnp_device_info_get_service(GUPNP_DEVICE_INFO(root), content_directory_type);
    cm = gupnp_device_info_get_service(GUPNP_DEVICE_INFO(root), connection_manager_type);
    registrar = gupnp_device_info_get_service(GUPNP_DEVICE_INFO(root), registrar_type);
    if (!cds || !cm || !registrar)
        return error = "the device description lost its services", false;
    // GUPnP answers 401 for an action without a handler connected to its
    // detail: a handler without detail does not count.
    for (const char *a : {"Browse", "Search", "GetSearchCapabilities", "GetSortCapabilities",
                          "GetSystemUpdateID", "X_GetFeatureList"})
        g_signal_connect(cds, (std::string("action-invoked::") + a).c_str(), G_CALLBACK(on_action),
                         this);
    for (const char *a : {"GetProtocolInfo", "GetCurrentConnectionIDs", "GetCurrentConnectionInfo"})
        g_signal_connect(cm, (std::string("action-invoked::") + a).c_str(), G_CALLBACK(on_action),
                         this);
    for (const char *a : {"IsAuthorized", "IsValidated", "RegisterDevice"})
        g_signal_connect(registrar, (std::string("action-invoked::") + a).c_str(),
                         G_CALLBACK(on_action), this);
    for (GUPnPServiceInfo *s : {cds, cm, registrar})
        g_signal_connect(s, "query-variable", G_CALLBACK(on_query), this);
    location = gupnp_device_info_get_location(GUPNP_DEVICE_INFO(root));
    gupnp_root_device_set_available(root, TRUE);
    library_logs_serving(); // from here on, warnings are about requests
    return true;
}

void server::impl::teardown() {
    // Answers still queued on the context go out first.
    while (g_main_context_iteration(ctx, FALSE)) {
    }
    if (root) {
        // ssdp:byebye: GSSDP paces its messages (120 ms apart by default);
        // a shorter pace lets all five leave within the window below.
        GSSDPResourceGroup *group = gupnp_root_device_get_ssdp_resource_group(root);
        g_object_set(group, "message-delay", 10u, NULL);
        gupnp_root_device_set_available(root, FALSE);
        gint64 until = g_get_monotonic_time() + 300 * 1000;
        GSource *tick = g_timeout_source_new(10);
        g_source_set_callback(
            tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
        g_source_attach(tick, ctx);
        while (g_get_monotonic_time() < until)
            g_main_context_iteration(ctx, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    }
    if (cds)
        g_object_unref(cds);
    if (cm)
        g_object_unref(cm);
    if (registrar)
        g_object_unref(registrar);
    if (root)
        g_object_unref(root);
    if (gctx)
        g_object_unref(gctx);
    cds = cm = registrar = nullptr;
    root = nullptr;
    gctx = nullptr;
    while (g_main_context_iteration(ctx, FALSE)) {
    }
    if (!dir.empty()) {
        for (const char *f : {"/description.xml", "/ContentDirectory.xml", "/ConnectionManager.xml",
                              "/X_MS_MediaReceiverRegistrar.xml"})
            ::unlink((dir + f).c_str());
        ::rmdir(dir.c_str());
        dir.clear();
    }
}

void server::impl::enqueue(job j) {
    GUPnPServiceAction *action = j.action;
    bool queued = false;
    try {
        queued = workers.post([this, j = std::move(j)](bool dropped) { answer(j, dropped); });
    } catch (...) {
    }
    if (!queued)
        gupnp_service_action_return_error(action, action_failed, "Busy");
}

// On a worker: the answer is made here and sent from the GUPnP thread.
void server::impl::answer(const job &j, bool dropped) {
    auto *r = new reply;
    if (dropped)
        r->error = action_failed; // stopping: answer at once, do not list
    else {
        try {
            *r = j.search ? search(j) : browse(j);
        } catch (...) {
            *r = reply();
            r->error = action_failed;
        }
    }
    struct done {
        GUPnPServiceAction *action;
        reply *r;
    };
    g_main_context_invoke_full(
        ctx, G_PRIORITY_DEFAULT,
        [](gpointer p) -> gboolean {
            auto *x = static_cast<done *>(p);
            finish(x->action, *x->r);
            return G_SOURCE_REMOVE;
        },
        new done{j.action, r},
        [](gpointer p) {
            auto *x = static_cast<done *>(p);
            delete x->r;
            delete x;
        });
}

reply server::impl::browse(const job &j) {
    const browse_request &req = j.req;
    reply r;
    r.update_id = src->update_id();
    std::string body;
    if (req.metadata) {
        item it;
        int rc = src->lookup(req.path, it);
        if (rc != 0) {
            r.error = rc;
            return r;
        }
        it.path = req.path; // the id answered is the id asked
        if (req.path == "/") {
            // The root stands for the whole server: control points show it
            // under the server's name, and some its number of children.
            it.title = opts.friendly_name;
            std::vector<item> none;
            size_t total = 0;
            if (src->children("/", 0, 0, none, &total) == 0)
                it.child_count = static_cast<int64_t>(total);
        }
        didl_object(body, it, it.folder ? std::string() : src->resource_url(req.path),
                    subtitle_url(it), src->cover_url(it));
        r.returned = r.total = 1;
    } else {
        std::vector<item> page;
        size_t total = 0;
        uint32_t want = req.count == 0 || req.count > max_page ? max_page : req.count;
        // The whole folder is sorted, then the page cut from it: the pages
        // a control point asks one after the other join up exactly. A folder
        // larger than max_sorted keeps the host's order, and only the page
        // asked is made into items. The total alone comes first (count 0).
        int rc = src->children(req.path, 0, 0, page, &total);
        bool whole = rc == 0 && total <= max_sorted;
        if (rc == 0)
            rc = whole ? src->children(req.path, 0, max_sorted, page, &total)
                       : src->children(req.path, req.start, want, page, &total);
        if (rc == 0 && whole) {
            if (page.size() == total) // the folder may have grown meanwhile
                sort_items(page, j.sort);
            size_t first = req.start < page.size() ? req.start : page.size();
            page.erase(page.begin(), page.begin() + static_cast<std::ptrdiff_t>(first));
        }
        if (rc != 0) {
            r.error = rc;
            return r;
        }
        if (page.size() > want)
            page.resize(want);
        for (const item &it : page)
            didl_object(body, it, it.folder ? std::string() : src->resource_url(it.path),
                        subtitle_url(it), src->cover_url(it));
        r.returned = static_cast<uint32_t>(page.size());
        r.total = static_cast<uint32_t>(total > 0xFFFFFFFFu ? 0xFFFFFFFFu : total);
    }
    r.result = didl_document(body);
    if (j.plain) {
        r.soap = browse_answer(r.result, r.returned, r.total, r.update_id);
        r.result.clear();
    }
    return r;
}

reply server::impl::search(const job &j) {
    reply r;
    r.update_id = src->update_id();
    const std::string &folder = j.req.path;
    item container;
    int rc = src->lookup(folder, container);
    if (rc == 0 && !container.folder)
        rc = no_such_container;
    std::vector<item> found;
    if (rc == 0)
        rc = src->search(folder, j.search->search_text(), max_searched, found);
    if (rc != 0) {
        r.error = rc;
        return r;
    }
    // Beneath the container only, each object once, as the criteria say.
    std::string under = folder == "/" ? folder : folder + "/";
    std::set<std::string> seen;
    std::vector<item> hits;
    for (item &it : found) {
        if (hits.size() == max_searched)
            break;
        if (it.path.size() > under.size() && it.path.compare(0, under.size(), under) == 0 &&
            j.search->matches(it) && seen.insert(it.path).second)
            hits.push_back(std::move(it));
    }
    sort_items(hits, j.sort);
    uint32_t want = j.req.count == 0 || j.req.count > max_page ? max_page : j.req.count;
    std::string body;
    for (size_t k = j.req.start; k < hits.size() && r.returned < want; k++, r.returned++)
        didl_object(body, hits[k], hits[k].folder ? std::string() : src->resource_url(hits[k].path),
                    std::string(), src->cover_url(hits[k]));
    r.total = static_cast<uint32_t>(hits.size());
    r.result = didl_document(body);
    return r;
}

void server::impl::finish(GUPnPServiceAction *action, const reply &r) {
    if (r.error != 0) {
        gupnp_service_action_return_error(action, static_cast<guint>(r.error), error_text(r.error));
        return;
    }
    if (!r.soap.empty()) {
        // GUPnP writes the status and headers and lets the answer go on the
        // next turn of this loop; the body it wrote is replaced before then.
        SoupServerMessage *msg = gupnp_service_action_get_message(action); // a reference
        gupnp_service_action_return_success(action);
        SoupMessageBody *body = soup_server_message_get_response_body(msg);
        soup_message_body_truncate(body);
        soup_message_body_append(body, SOUP_MEMORY_COPY, r.soap.data(), r.soap.size());
        g_object_unref(msg);
        return;
    }
    gupnp_service_action_set(action, "Result", G_TYPE_STRING, r.result.c_str(), "NumberReturned",
                             G_TYPE_UINT, r.returned, "TotalMatches", G_TYPE_UINT, r.total,
                             "UpdateID", G_TYPE_UINT, r.update_id, NULL);
    gupnp_service_action_return_success(action);
}

} // namespace dlna
