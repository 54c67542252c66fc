// The checks in front of GUPnP, on the signals of its HTTP server (libsoup)
// and of its SSDP client (GSSDP): who may ask, what a request may carry, and
// what an event subscriber may ask for. Each sets a status (or closes the
// connection) before GUPnP's own handler runs; a status set keeps libsoup
// from calling it.
#include <libsoup/soup.h>

#include <cstring>
#include <ifaddrs.h>
#include <mutex>
#include <netinet/in.h>
#include <string>

#include "gate.h"
#include "soap.h"

namespace dlna {

// The network of the interface that holds ADDRESS: who is on the same LAN.
bool interface_network(const std::string &address, network &out) {
    ip_address want;
    ifaddrs *list = nullptr;
    if (!parse_address(address, want) || getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask)
            continue;
        ip_address a;
        const unsigned char *mask = nullptr;
        if (i->ifa_addr->sa_family == AF_INET) {
            std::memcpy(a.bytes, &reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr, 4);
            mask = reinterpret_cast<const unsigned char *>(
                &reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr);
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            a.v6 = true;
            std::memcpy(a.bytes, &reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr, 16);
            mask = reinterpret_cast<const unsigned char *>(
                &reinterpret_cast<sockaddr_in6 *>(i->ifa_netmask)->sin6_addr);
        } else {
            continue;
        }
        if (a.v6 == want.v6 && std::memcmp(a.bytes, want.bytes, a.v6 ? 16 : 4) == 0) {
            out = network_of(a, mask);
            found = true;
        }
    }
    freeifaddrs(list);
    return found;
}

namespace {

// The server itself is always answered: GUPnP reads its own service
// descriptions over HTTP before it sends a subscriber the first event.
bool allowed(const gate &g, const ip_address &peer) {
    network self;
    self.base = g.self;
    self.prefix = g.self.v6 ? 128 : 32;
    return contains(self, peer) || contains_any(g.allow, peer);
}

// The address of a request's peer; false when it has none we can read.
bool peer_of(SoupServerMessage *msg, ip_address &out) {
    GSocketAddress *sa = soup_server_message_get_remote_address(msg);
    if (!sa || !G_IS_INET_SOCKET_ADDRESS(sa))
        return false;
    GInetAddress *ia = g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(sa));
    char *text = g_inet_address_to_string(ia);
    bool ok = text && parse_address(text, out);
    g_free(text);
    return ok;
}

// The UPnP libraries warn on stderr about requests they refuse (a SUBSCRIBE
// without NT, an M-SEARCH without MX...): any peer could fill the host's
// log. Up to start-up every line passes; afterwards five a minute, and the
// first line let through in a later minute says how many were dropped.
struct log_limit {
    std::mutex m;
    bool serving = false;
    gint64 window = 0; // start of the current minute, monotonic microseconds
    unsigned lines = 0, dropped = 0;
};
log_limit &limiter() {
    static log_limit *l = new log_limit; // lives as long as the handlers
    return *l;
}
constexpr unsigned log_lines_per_minute = 5;

void limited_log(const char *domain, GLogLevelFlags level, const char *message, gpointer) {
    log_limit &l = limiter();
    unsigned dropped = 0;
    {
        std::lock_guard<std::mutex> lock(l.m);
        if (l.serving && !(level & G_LOG_LEVEL_ERROR)) {
            gint64 now = g_get_monotonic_time();
            if (now - l.window >= 60 * G_USEC_PER_SEC) {
                dropped = l.dropped;
                l.window = now;
                l.lines = l.dropped = 0;
            }
            if (l.lines >= log_lines_per_minute) {
                l.dropped++;
                return;
            }
            l.lines++;
        }
    }
    if (dropped)
        g_log_default_handler(
            domain, G_LOG_LEVEL_WARNING,
            ("(" + std::to_string(dropped) + " more warnings of the UPnP libraries were dropped)")
                .c_str(),
            nullptr);
    g_log_default_handler(domain, level, message, nullptr);
}

} // namespace

void limit_library_logs() {
    static std::once_flag once;
    std::call_once(once, [] {
        // GSSDP's resource group logs without a domain of its own (nullptr).
        const char *domains[] = {nullptr,
                                 "gssdp-client",
                                 "gssdp-net",
                                 "libsoup",
                                 "gupnp-acl",
                                 "gupnp-context",
                                 "gupnp-context-filter",
                                 "gupnp-context-manager",
                                 "gupnp-device",
                                 "gupnp-device-info",
                                 "gupnp-resource-factory",
                                 "gupnp-root-device",
                                 "gupnp-service",
                                 "gupnp-service-info",
                                 "gupnp-simple-context-manager",
                                 "gupnp-unix-context-manager",
                                 "gupnp-xml-doc"};
        auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING |
                                                  G_LOG_LEVEL_MESSAGE | G_LOG_FLAG_FATAL |
                                                  G_LOG_FLAG_RECURSION);
        for (const char *d : domains)
            g_log_set_handler(d, levels, limited_log, nullptr);
        // A Browse without an argument is answered 402; GUPnP's warning
        // about it says nothing the host can act on.
        g_log_set_handler(
            "gupnp-service-proxy", G_LOG_LEVEL_WARNING,
            [](const char *, GLogLevelFlags, const char *, gpointer) {}, nullptr);
    });
}

namespace {

// Host names the server exactly ("127.0.0.1:PORT"), case aside.
bool host_ok(const char *host, const std::string &mine) {
    return g_ascii_strcasecmp(host, mine.c_str()) == 0;
}

// A refused body loses its connection at once: a client that sends its
// headers first and the body later (or slowly) would otherwise be read to
// the end before any answer. Closing the socket (not shutting it down: on
// Linux a read after SHUT_RD still returns data that arrives later) makes
// libsoup's next read fail, so it drops the connection, and the peer's
// pending data turns the close into a reset.
void refuse(SoupServerMessage *msg) {
    soup_server_message_set_status(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
    if (GSocket *sock = soup_server_message_get_socket(msg))
        g_socket_close(sock, nullptr);
}

// Who may ask anything: a peer within the allowed networks, naming the
// server by its own address as Host (a page that a browser loaded from
// another name, DNS rebinding, is refused).
void on_got_headers(SoupServerMessage *msg, gpointer data) {
    auto *d = static_cast<gate *>(data);
    SoupMessageHeaders *h = soup_server_message_get_request_headers(msg);
    const char *host = soup_message_headers_get_one(h, "Host");
    ip_address peer;
    if (!peer_of(msg, peer) || !allowed(*d, peer) || !host || !host_ok(host, d->host)) {
        soup_server_message_set_status(msg, SOUP_STATUS_FORBIDDEN, nullptr);
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection",
                                     "close");
    }
    if (soup_message_headers_get_encoding(h) == SOUP_ENCODING_CONTENT_LENGTH &&
        soup_message_headers_get_content_length(h) > static_cast<goffset>(max_body))
        refuse(msg);
}

void on_got_chunk(SoupServerMessage *msg, GBytes *chunk, gpointer data) {
    gsize len = 0;
    const char *bytes = static_cast<const char *>(g_bytes_get_data(chunk, &len));
    if (!static_cast<body_guard *>(data)->feed(bytes, len))
        refuse(msg);
}

gint64 now_s() {
    return g_get_monotonic_time() / G_USEC_PER_SEC;
}

// A SUBSCRIBE that makes a subscription must name the subscriber itself as
// the receiver of its events, and find room below the limits. Renewals
// (SID, no CALLBACK) and UNSUBSCRIBE go through: they need the SID.
void check_subscribe(gate &d, SoupServerMessage *msg) {
    SoupMessageHeaders *h = soup_server_message_get_request_headers(msg);
    const char *callback = soup_message_headers_get_one(h, "Callback");
    if (!callback || soup_message_headers_get_one(h, "SID"))
        return; // a renewal, or a request GUPnP refuses itself
    // GUPnP sends events only within the interface's own network, and it
    // leaks what it parsed of a SUBSCRIBE it refuses for that: a routed
    // peer that may browse is refused here instead, before GUPnP sees it.
    ip_address peer;
    if (!peer_of(msg, peer) || !callbacks_ok(callback, peer) ||
        (d.local_known && !contains(d.local, peer)))
        soup_server_message_set_status(msg, SOUP_STATUS_PRECONDITION_FAILED, nullptr);
    else if (!d.subscribed.admit(peer, now_s()))
        soup_server_message_set_status(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
}

// After GUPnP answered a SUBSCRIBE or UNSUBSCRIBE: the subscriptions it
// holds, by SID, with the expiry it announced (and a little more, so that
// ours never lapses first).
void on_got_body(SoupServerMessage *msg, gpointer data) {
    auto *d = static_cast<gate *>(data);
    const char *method = soup_server_message_get_method(msg);
    bool subscribe = std::strcmp(method, "SUBSCRIBE") == 0;
    if (!subscribe && std::strcmp(method, "UNSUBSCRIBE") != 0)
        return;
    guint status = soup_server_message_get_status(msg);
    const char *asked =
        soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "SID");
    SoupMessageHeaders *answer = soup_server_message_get_response_headers(msg);
    const char *sid = soup_message_headers_get_one(answer, "SID");
    if (!subscribe || (asked && status == SOUP_STATUS_PRECONDITION_FAILED)) {
        if (asked && (status == SOUP_STATUS_OK || status == SOUP_STATUS_PRECONDITION_FAILED))
            d->subscribed.dropped(asked);
        return;
    }
    if (!sid)
        sid = asked; // a renewal answered without repeating it
    ip_address peer;
    if (status != SOUP_STATUS_OK || !sid || !peer_of(msg, peer))
        return;
    gint64 seconds = 1800;
    const char *timeout = soup_message_headers_get_one(answer, "Timeout");
    if (timeout && g_ascii_strncasecmp(timeout, "Second-", 7) == 0) {
        gint64 n = g_ascii_strtoll(timeout + 7, nullptr, 10);
        if (n > 0 && n < 7 * 24 * 3600)
            seconds = n;
    }
    d->subscribed.granted(sid, peer, now_s() + seconds + 5);
}

// A complete request: a POST (a SOAP call) must hold an envelope GUPnP can
// answer, a SUBSCRIBE must pass check_subscribe. A status set here keeps
// libsoup from calling GUPnP's handler.
void on_request_read(SoupServer *, SoupServerMessage *msg, gpointer data) {
    const char *method = soup_server_message_get_method(msg);
    if (soup_server_message_get_status(msg) != 0)
        return;
    if (std::strcmp(method, "SUBSCRIBE") == 0) {
        check_subscribe(*static_cast<gate *>(data), msg);
        return;
    }
    if (std::strcmp(method, "POST") != 0 && std::strcmp(method, "M-POST") != 0)
        return;
    SoupMessageBody *body = soup_server_message_get_request_body(msg);
    GBytes *bytes = soup_message_body_flatten(body);
    gsize len = 0;
    const char *text = static_cast<const char *>(g_bytes_get_data(bytes, &len));
    const char *action =
        soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "SOAPAction");
    if (!envelope_ok(text, len, action))
        soup_server_message_set_status(msg, SOUP_STATUS_BAD_REQUEST, nullptr);
    g_bytes_unref(bytes);
}

void on_request(SoupServer *, SoupServerMessage *msg, gpointer data) {
    auto *guard = new body_guard;
    g_object_set_data_full(G_OBJECT(msg), "nimbus-dlna-guard", guard,
                           [](gpointer p) { delete static_cast<body_guard *>(p); });
    g_signal_connect(msg, "got-headers", G_CALLBACK(on_got_headers), data);
    g_signal_connect(msg, "got-chunk", G_CALLBACK(on_got_chunk), guard);
    // After libsoup's own got-body handler, which calls GUPnP's.
    g_signal_connect(msg, "got-body", G_CALLBACK(on_got_body), data);
}

// SSDP from a peer outside the allowed networks goes no further: handlers
// run in the order they were connected, and this one comes before the
// resource group's, which answers M-SEARCH.
void on_ssdp(GSSDPClient *client, const char *from, guint, int, SoupMessageHeaders *,
             gpointer data) {
    auto *d = static_cast<gate *>(data);
    ip_address peer;
    if (!from || !parse_address(from, peer) || !allowed(*d, peer))
        g_signal_stop_emission_by_name(client, "message-received");
}

} // namespace

void library_logs_serving() {
    std::lock_guard<std::mutex> lock(limiter().m);
    limiter().serving = true;
}

void guard_context(GUPnPContext *ctx, gate &g) {
    SoupServer *http = gupnp_context_get_server(ctx);
    g_signal_connect(http, "request-started", G_CALLBACK(on_request), &g);
    g_signal_connect(http, "request-read", G_CALLBACK(on_request_read), &g);
    // Before the root device exists, so before its resource group's handler.
    g_signal_connect(ctx, "message-received", G_CALLBACK(on_ssdp), &g);
}

} // namespace dlna
