// `nimbus serve`: libmicrohttpd with its own thread pool in front of the
// library. The pool's threads parse requests and send answers; a GET or
// HEAD whose answer may wait on the service is made on a worker, its
// connection suspended meanwhile (a kept folder's is made at once). A
// folder becomes an HTML page, the library's JSON or an M3U playlist; a
// file becomes a redirect to its pre-authorised download URL, which the
// player then fetches (with Range requests) straight from the service.
//
// This file is the listener and its lifecycle: the daemon's callbacks, the
// start, the signals and the stop. What a request is answered is in
// routes.cpp; the change feed's thread in feed.cpp; the MediaServer beside
// the gateway in media.cpp.
#include "serve/serve.h"

#include "knobs.h"
#include "output.h"
#include "serve/errors.h"
#include "serve/feed.h"
#include "serve/gateway.h"
#include "serve/listen.h"
#include "serve/media.h"
#include "serve/reload.h"
#include "serve/request.h"
#include "serve/routes.h"
#include "signals.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

namespace cli {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kPerAddressLimit = 32; // only on listeners reachable from other hosts
constexpr unsigned kIdleSeconds = 30;
constexpr size_t kConnectionMemory = 32 * 1024; // request line and headers must fit
// How long a stop lets the transfers under way finish before cutting them.
constexpr auto kStopGrace = std::chrono::seconds(3);
// Workers for the requests that may wait on the service: this many are
// answered at once, the next wait for one to be free.
constexpr unsigned kWorkers = 16;
// How long the start waits for the service before listening anyway.
constexpr auto kWarmUp = std::chrono::seconds(3);

// -- libmicrohttpd callbacks -----------------------------------------------------

// Leaves escapes in place: the path and query values are decoded by
// decode_path and decode_query, which refuse what a drive path cannot hold.
size_t keep_escaped(void *, MHD_Connection *, char *s) {
    return std::strlen(s);
}

int g_request_marker;

// A gateway that starts again after a new sign-in leaves its port here.
constexpr char kRestartPort[] = "NIMBUS_SERVE_RESTART_PORT";

// Takes the port of the run before a restart, when --listen left the port
// to the system; the variable goes with it, so that nothing started from
// this process inherits it.
void keep_port_across_restart(listen_address *addr) {
    const char *s = std::getenv(kRestartPort);
    char *end = nullptr;
    long port = s ? std::strtol(s, &end, 10) : 0;
    bool given = s && *s && !*end && port > 0 && port < 65536;
    unsetenv(kRestartPort);
    if (!given || port_of(*addr) != 0)
        return;
    if (addr->is_v6)
        addr->v6.sin6_port = htons(static_cast<uint16_t>(port));
    else
        addr->v4.sin_port = htons(static_cast<uint16_t>(port));
}

// One line per answer: when (UTC), who, what, how it ended and how long it
// took. The query is left out: it may hold the access token.
void log_access(MHD_Connection *c, const char *method, const char *url, unsigned status, long ms) {
    char when[32] = "?";
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc))
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    char who[INET6_ADDRSTRLEN] = "?";
    const MHD_ConnectionInfo *from = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const sockaddr *a = from ? from->client_addr : nullptr;
    if (a && a->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a)->sin_addr, who, sizeof who);
    else if (a && a->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr, who, sizeof who);
    try {
        std::fprintf(stderr, "%s %s %s %s %u %ld ms\n", when, who,
                     printable(method ? method : "").c_str(), printable(url ? url : "").c_str(),
                     status, ms);
    } catch (...) { // no memory for the printable copies: the line is left out
    }
}

// A request whose answer is made on a worker: its connection waits
// suspended meanwhile, and the pool thread that parsed it goes on serving
// its other connections (other players' streams among them).
struct pending {
    std::mutex m;
    // Handed to a worker; then back with r, or back without an answer
    // (no memory to make one).
    enum { here, on_worker, answered, unanswered } stage = here;
    reply r;
    clock_type::time_point start{};
    ~pending() {
        if (r.stream) // made, never sent: the gateway stopped first
            MHD_destroy_response(r.stream);
    }
};

// The answer of a worker for a request it was not to make: the gateway
// stops. JSON when the request asked for it.
reply stopping_reply(MHD_Connection *c) {
    const char *format = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "format");
    return error_reply(503, "the gateway is stopping", format && std::strcmp(format, "json") == 0);
}

// Answers the request on C with R.
MHD_Result send_reply(gateway &g, MHD_Connection *c, reply &r) {
    MHD_Response *resp = r.stream ? r.stream
                                  : MHD_create_response_from_buffer(r.body.size(), r.body.data(),
                                                                    MHD_RESPMEM_MUST_COPY);
    r.stream = nullptr;
    if (!resp)
        return MHD_NO;
    if (!r.type.empty())
        MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, r.type.c_str());
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(resp, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(resp, "Referrer-Policy", "no-referrer");
    // No script, ever; a page's covers, players and subtitles come from
    // the gateway itself.
    MHD_add_response_header(resp, "Content-Security-Policy",
                            "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; "
                            "media-src 'self'");
    for (const auto &h : r.headers)
        MHD_add_response_header(resp, h.first.c_str(), h.second.c_str());
    if (g.stopping)
        MHD_add_response_header(resp, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_Result queued = MHD_queue_response(c, r.status, resp);
    MHD_destroy_response(resp);
    return queued;
}

reply answer(gateway &g, MHD_Connection *c, const char *url, const char *method) {
    try {
        return handle(g, c, url, method);
    } catch (...) {
        return error_reply(500, "out of memory", false);
    }
}

// Hands the complete request on C to a worker; false when none takes it
// (the gateway stops, or no memory), and the caller answers it itself.
bool post_request(gateway &g, MHD_Connection *c, const char *url, const char *method, pending *p) {
    std::lock_guard<std::mutex> hold(p->m);
    bool posted = false;
    try {
        posted = g.workers.post(
            [&g, c, p, url = std::string(url), method = std::string(method)](bool dropped) {
                // The connection is resumed whatever happens here: the pool
                // thread then calls on_request again for the answer.
                struct resume {
                    pending *p;
                    MHD_Connection *c;
                    ~resume() {
                        std::lock_guard<std::mutex> done(p->m);
                        if (p->stage == pending::on_worker)
                            p->stage = pending::unanswered;
                        MHD_resume_connection(c);
                    }
                } later{p, c};
                reply r = dropped ? stopping_reply(c) : answer(g, c, url.c_str(), method.c_str());
                std::lock_guard<std::mutex> done(p->m);
                p->r = std::move(r);
                p->stage = pending::answered;
            });
    } catch (...) {
    }
    if (posted) {
        // Under p->m: the worker resumes the connection only after this.
        MHD_suspend_connection(c);
        p->stage = pending::on_worker;
    }
    return posted;
}

MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                      const char *, const char *, size_t *upload_size, void **state) {
    gateway &g = *static_cast<gateway *>(cls);
    bool get = method && (std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0);
    if (!*state) {
        auto *p = new (std::nothrow) pending;
        *state = p ? static_cast<void *>(p) : &g_request_marker;
        g.in_flight++;
        g.watch.request_begun(c);
        // GET and HEAD are answered once the request is complete, so the
        // connection stays open for the next one; anything else is refused
        // at once, without reading its body.
        if (get)
            return MHD_YES;
    } else if (*upload_size) {
        *upload_size = 0; // a body sent with GET is ignored
        return MHD_YES;
    }
    auto *p = *state != &g_request_marker ? static_cast<pending *>(*state) : nullptr;
    url = url ? url : "";
    method = method ? method : "";
    reply r;
    auto start = clock_type::now();
    if (p && p->stage != pending::here) {
        std::lock_guard<std::mutex> hold(p->m);
        if (p->stage == pending::on_worker)
            return MHD_YES; // resumed, not by its worker: the answer comes later
        if (p->stage == pending::unanswered)
            return MHD_NO; // the connection closes
        r = std::move(p->r);
        p->r.stream = nullptr; // r's now: a moved pointer stays behind
        start = p->start;
    } else {
        if (p)
            p->start = start;
        // GET and HEAD may wait on the service: on a worker, unless made of
        // what the gateway keeps. The rest is answered here at once.
        bool at_once = false;
        try {
            at_once = !get || answers_at_once(g, c, url);
        } catch (...) { // no memory for the path: a worker answers
        }
        if (!at_once && p && post_request(g, c, url, method, p))
            return MHD_YES;
        // No worker took it: past the stop, nothing new is asked of the
        // service (its transfers were cut short already).
        r = !at_once && g.stopping ? stopping_reply(c) : answer(g, c, url, method);
    }
    MHD_Result queued = send_reply(g, c, r);
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count());
    log_access(c, method, url, r.status, ms);
    return queued;
}

void on_completed(void *cls, MHD_Connection *c, void **state, MHD_RequestTerminationCode) {
    gateway &g = *static_cast<gateway *>(cls);
    g.watch.request_ended(c);
    if (*state) {
        if (*state != &g_request_marker)
            delete static_cast<pending *>(*state);
        g.in_flight--;
        *state = nullptr;
    }
}

void on_connection(void *cls, MHD_Connection *c, void **context,
                   MHD_ConnectionNotificationCode what) {
    gateway &g = *static_cast<gateway *>(cls);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo *from =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        std::string address;
        try {
            address = client_key(from ? from->client_addr : nullptr);
        } catch (...) {
            address = "?"; // as for an address of no known kind
        }
        g.watch.started(c, context, address);
    } else {
        g.watch.closed(context);
    }
}

void on_log(void *, const char *format, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::fprintf(stderr, "nimbus: serve: %s\n", printable(line).c_str());
}

} // namespace

int run_serve(const options &o) {
    listen_address addr;
    std::string error;
    if (!parse_listen(o.listen.empty() ? "127.0.0.1:8080" : o.listen, &addr, &error)) {
        print_error(error);
        return EXIT_USAGE;
    }
    std::string token;
    if (!o.auth_token_file.empty() && !read_token_file(o.auth_token_file, &token, &error)) {
        print_error(error);
        return EXIT_SETTINGS;
    }
    if (!addr.loopback && token.empty()) {
        print_error("serve: listening on " + addr.host +
                    " lets other hosts in; give a secret with --auth-token-file FILE "
                    "(make one with: umask 077; head -c 24 /dev/urandom | base64 | tr '+/' '-_' "
                    "> FILE)");
        return EXIT_USAGE;
    }
    if (o.dlna && !addr.loopback && (addr.host == "0.0.0.0" || addr.host == "[::]")) {
        print_error("serve: --dlna announces the server on the interface of one address, not on "
                    "every network of a wildcard: listen on this host's address on the network "
                    "you choose (for example --listen 192.168.1.5:8080)");
        return EXIT_USAGE;
    }
    if (o.dlna && !media_server::available()) {
        print_error("serve: this build has no DLNA server (GUPnP 1.6 was missing when it was "
                    "built; see scripts/install-deps)");
        return EXIT_USAGE;
    }
    keep_port_across_restart(&addr);
    int inherited = inherited_listener(addr);
    if (inherited < 0 && port_taken(addr)) {
        print_error("serve: port " + std::to_string(port_of(addr)) +
                    " is already in use (another nimbus serve?): choose one with --listen");
        return EXIT_OTHER;
    }
    gateway g(o, token);
    g.loopback = addr.loopback;
    // Known before the first connection is accepted: the Host check of the
    // first requests compares with it. Port 0 is known once bound (below).
    g.port = port_of(addr);
    // The signals that stop the server are taken by sigwait below, not by
    // the Ctrl-C handler of the one-shot commands.
    std::string running;
    file_stamp stamp;
    bool signed_out = starts_signed_out(o, &running, &stamp);
    if (signed_out) {
        g.signed_out = true;
    } else if (int rc = g.ctx.open(false)) {
        if (inherited >= 0)
            close(inherited);
        return rc;
    }
    settings_watch watch(o.settings_path.empty() ? default_settings_path() : o.settings_path,
                         running, stamp);

    // The pool threads inherit this mask; the signals are taken by sigwait below.
    sigset_t stop_signals, old_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    // SIGHUP: read the settings file now.
    sigset_t waited = stop_signals;
    sigaddset(&waited, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &waited, &old_mask);
    ignore_broken_pipes();
    // Without workers every request is answered on the pool thread that
    // parsed it, as it would be with none free.
    g.workers.start(kWorkers);

    // The first cursor of the change feed is taken before listening: it
    // makes the access token and the connection to the service, so that the
    // first visit waits for its own listing only. A service that is slow or
    // down holds the start for kWarmUp at most; a revoked sign-in starts all
    // the same.
    // Signed out at start there is no drive to follow: the next run does.
    std::thread feeder;
    if (g.ctx.drive()) {
        feeder = std::thread([&g] { feed_loop(g); });
        for (auto until = clock_type::now() + kWarmUp;
             !g.feed_first_done && clock_type::now() < until;)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    unsigned flags = MHD_USE_AUTO | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ITC |
                     MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG | (addr.is_v6 ? MHD_USE_IPv6 : 0);
    const sockaddr *bind_to = addr.is_v6 ? reinterpret_cast<const sockaddr *>(&addr.v6)
                                         : reinterpret_cast<const sockaddr *>(&addr.v4);
    // One thread is the daemon's own, without a pool (a pool of one warns).
    unsigned threads = o.threads > 0 ? static_cast<unsigned>(o.threads) : 4;
    MHD_OptionItem pool[] = {{MHD_OPTION_THREAD_POOL_SIZE, threads, nullptr},
                             {MHD_OPTION_END, 0, nullptr}};
    if (threads == 1)
        pool[0] = pool[1];
    MHD_Daemon *d = MHD_start_daemon(
        flags, 0, nullptr, nullptr, on_request, &g, MHD_OPTION_EXTERNAL_LOGGER, on_log, nullptr,
        MHD_OPTION_SOCK_ADDR, bind_to, MHD_OPTION_LISTEN_SOCKET, inherited, MHD_OPTION_ARRAY, pool,
        MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        addr.loopback ? 0u : kPerAddressLimit, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_UNESCAPE_CALLBACK,
        keep_escaped, nullptr, MHD_OPTION_NOTIFY_COMPLETED, on_completed, &g,
        MHD_OPTION_NOTIFY_CONNECTION, on_connection, &g, MHD_OPTION_END);
    if (!d) {
        if (inherited >= 0)
            close(inherited);
        g.stopping = true;
        g.feed_stop = true;
        if (feeder.joinable())
            feeder.join();
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        print_error("serve: cannot listen on " + addr.host + ":" + std::to_string(port_of(addr)));
        return EXIT_OTHER;
    }
    std::thread watchdog([&g] { g.watch.run(); });
    const MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    g.port = info ? info->port : 0;
    std::fprintf(stderr, "nimbus: serving http://%s:%u/ (%s; stop with Ctrl-C)\n",
                 addr.host.c_str(), static_cast<unsigned>(g.port.load()),
                 g.token.empty() ? "no credential" : "access token required");
    if (signed_out)
        std::fprintf(stderr, "nimbus: not signed in: sign in at http://%s:%u%s\n",
                     addr.host.c_str(), static_cast<unsigned>(g.port.load()), kSigninPath);
    std::fflush(stderr);
    feed_say_held(g);
    media_server media(g);
    // Signed out at start, the MediaServer waits for the run that follows
    // the sign-in (its device's UUID lives beside the settings file).
    if (o.dlna && signed_out)
        std::fprintf(stderr, "nimbus: the MediaServer starts once signed in\n");
    if (o.dlna && !signed_out && !media.start(o, addr, &error)) {
        print_error("serve: --dlna: " + error);
        g.stopping = true;
        g.workers.stop();
        MHD_stop_daemon(d);
        g.feed_stop = true;
        if (feeder.joinable())
            feeder.join();
        g.watch.stop();
        watchdog.join();
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        return EXIT_OTHER;
    }
    if (o.dlna && addr.loopback)
        std::fprintf(stderr, "nimbus: the MediaServer is on a loopback address: only this "
                             "machine finds it. For TVs, listen on this host's address on "
                             "their network (for example --listen 192.168.1.5:8080)\n");

    // Waits for a stop signal; every few seconds, and at once on SIGHUP,
    // looks whether the settings file changed, to start again with new
    // settings (the handle, its caches and the MediaServer all begin anew).
    int sig = 0;
    bool restart = false;
    const auto look_every = knob_seconds("NIMBUS_SERVE_SIGNIN_SECONDS", std::chrono::seconds(3));
    for (;;) {
        timespec every{static_cast<time_t>(look_every.count() > 0 ? look_every.count() : 1), 0};
        sig = sigtimedwait(&waited, nullptr, &every);
        if (sig > 0 && sig != SIGHUP)
            break;
        if (!o.demo && watch.take_new(
                           sig == SIGHUP, [&g](const std::string &t) { return g.ctx.own_token(t); },
                           g.signed_out, g.in_flight == 0)) {
            restart = true;
            break;
        }
    }
    g.stopping = true;
    media.stop(); // ssdp:byebye first: players stop offering a server that is going
    // A stop signal while starting again turns the restart into a stop, as
    // asked (systemd stopping a gateway that just took a new sign-in); a
    // signal while stopping ends the process at once, whatever the stop
    // waits for. The thread outlives this call: what it shares is its own.
    struct stop_state {
        std::atomic<bool> restarting;
        std::atomic<int> sig;
    };
    auto stop = std::make_shared<stop_state>();
    stop->restarting = restart;
    stop->sig = sig;
    std::thread([stop_signals, stop] {
        for (;;) {
            int again = 0;
            while (sigwait(&stop_signals, &again) != 0) {
            }
            if (stop->restarting.exchange(false)) {
                stop->sig = again;
                continue;
            }
            std::fprintf(stderr, "nimbus: stopped at once (%s)\n",
                         again == SIGINT ? "SIGINT" : "SIGTERM");
            std::fflush(stderr);
            _exit(128 + again);
        }
    }).detach();
    MHD_socket listener = MHD_quiesce_daemon(d);
    // Starting again, the connections accepted just before have a moment to
    // send their request, which is then answered: the next ones wait in the
    // socket's queue for the next run.
    if (restart)
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    // No request waits any longer for a retry; transfers under way get a
    // short grace to finish, then they are cut short too.
    stop_waits();
    auto grace_end = clock_type::now() + kStopGrace;
    while (g.in_flight > 0 && clock_type::now() < grace_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    interrupt_transfers();
    g.streams.cancel_all(); // and their suspended connections resume, to close
    // The answers under way end (their transfers were cut short), those
    // not begun answer that the gateway stops; no worker touches a
    // connection after this.
    g.workers.stop();
    // The requests cut short answer (curl notices within a second); their
    // answers are sent before the connections close.
    grace_end = clock_type::now() + std::chrono::seconds(3);
    while (g.in_flight > 0 && clock_type::now() < grace_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    MHD_stop_daemon(d);
    g.signin.stop();
    g.feed_stop = true;
    if (feeder.joinable())
        feeder.join(); // its request, if any, was cut short with the transfers
    g.watch.stop();
    watchdog.join();
    // A SIGHUP that came during the stop would end the process once
    // unblocked: it has nothing left to ask.
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    timespec none{0, 0};
    while (sigtimedwait(&hup, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    if (stop->restarting.exchange(false)) {
        // The next run listens where this one did, also on a port the
        // system chose, on the very socket: connections that arrive
        // meanwhile wait in its queue instead of being refused.
        std::string port = std::to_string(static_cast<unsigned>(g.port.load()));
        setenv(kRestartPort, port.c_str(), 1);
        if (listener != MHD_INVALID_SOCKET && !hand_over_listener(listener))
            close(listener);
        return EXIT_RESTART;
    }
    if (listener != MHD_INVALID_SOCKET)
        close(listener);
    std::fprintf(stderr, "nimbus: stopped (%s)\n", stop->sig == SIGINT ? "SIGINT" : "SIGTERM");
    return EXIT_OK;
}

} // namespace cli
