// The loopback listener of the browser sign-in (see listener.h): two
// libmicrohttpd daemons, one per loopback address, behind one slow-client
// guard for the connections that owe their request.
#include "login/listener.h"

#include "output.h"
#include "signals.h"
#include "slow_clients.h"
#include "text.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace cli {
namespace login {

std::string page(const std::string &title, const std::string &text) {
    return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>nimbus: " +
           html_escape(title) + "</title></head><body><h1>" + html_escape(title) + "</h1><p>" +
           html_escape(text) + "</p></body></html>\n";
}

struct loopback::impl {
    impl(std::string state, std::string start_token, std::string sign_in)
        : state_(std::move(state)), start_token_(std::move(start_token)),
          sign_in_(std::move(sign_in)),
          guard_({std::chrono::seconds(kRequestSeconds), 0, kMaxPending}) {}

    ~impl() {
        finish(false, "nimbus stopped before the sign-in was complete");
        for (MHD_Daemon *d : daemons_)
            if (d)
                MHD_stop_daemon(d);
        for (int fd : listen_fds_)
            if (fd >= 0)
                close(fd);
    }

    bool start(long port, failure *f) {
        start_until_ = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
        for (int i = 0; i < 2; i++) {
            int family = i == 0 ? AF_INET : AF_INET6;
            const char *shown = i == 0 ? "127.0.0.1" : "[::1]";
            int fd = -1;
            int err = listen_on(family, port, &fd);
            // Without IPv6 on the machine nobody can listen on ::1, so
            // "localhost" can only mean 127.0.0.1.
            if (family == AF_INET6 && (err == EAFNOSUPPORT || err == EADDRNOTAVAIL))
                continue;
            if (err) {
                *f = {EXIT_OTHER, err == EADDRINUSE
                                      ? "port " + std::to_string(port) + " on " + shown +
                                            " is in use: choose another with --port (and register "
                                            "http://localhost:PORT/ for it)"
                                      : "cannot listen on " + std::string(shown) + " port " +
                                            std::to_string(port) +
                                            " (--port): " + std::strerror(err)};
                return false;
            }
            listen_fds_[i] = fd;
        }
        for (int i = 0; i < 2; i++) {
            if (listen_fds_[i] < 0)
                continue;
            unsigned flags =
                MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | (i == 1 ? MHD_USE_IPv6 : 0);
            daemons_[i] = MHD_start_daemon(
                flags, 0, nullptr, nullptr, &impl::on_request, this, MHD_OPTION_LISTEN_SOCKET,
                listen_fds_[i], MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kRequestSeconds),
                MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(64 * 1024),
                MHD_OPTION_NOTIFY_COMPLETED, &impl::on_completed, this,
                MHD_OPTION_NOTIFY_CONNECTION, &impl::on_connection, this, MHD_OPTION_END);
            if (!daemons_[i]) {
                *f = {EXIT_OTHER, "cannot start the loopback listener on port " +
                                      std::to_string(port) + " (--port)"};
                return false;
            }
            listen_fds_[i] = -1; // the daemon closes it
        }
        return true;
    }

    // Waits for the browser to come back, closing connections that are late
    // with their request meanwhile.
    waited wait(std::chrono::steady_clock::time_point deadline, redirect *r) {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            if (got_) {
                *r = got_redirect_;
                return waited::answered;
            }
            if (start_reused_) {
                // The refusal page leaves before the listener stops.
                changed_.wait_for(hold, std::chrono::seconds(2),
                                  [this] { return refusal_delivered_; });
                return waited::start_reused;
            }
            if (interrupted())
                return waited::interrupted;
            auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                return waited::timed_out;
            auto next = now + std::chrono::milliseconds(100); // Ctrl-C is seen this soon
            changed_.wait_until(hold, next < deadline ? next : deadline);
            hold.unlock();
            guard_.close_late();
            hold.lock();
        }
    }

    // Answers the browser that brought the redirect, and gives the page a
    // moment to leave before the listener stops.
    void finish(bool ok, const std::string &text) {
        std::unique_lock<std::mutex> hold(lock_);
        if (outcome_set_)
            return;
        outcome_set_ = true;
        outcome_ok_ = ok;
        outcome_text_ = text;
        changed_.notify_all();
        if (got_ && !interrupted())
            changed_.wait_for(hold, std::chrono::seconds(5), [this] { return delivered_; });
    }

    // The rest is the listener's own.
    static constexpr int kStartSeconds = 300;
    static constexpr int kRequestSeconds = 5;
    static constexpr unsigned kConnectionLimit = 64; // per address
    static constexpr size_t kMaxPending = 32;        // both addresses together

    // A listening socket on the loopback address of family; 0 or the errno.
    static int listen_on(int family, long port, int *out) {
        int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return errno;
        int one = 1;
        sockaddr_storage addr{};
        socklen_t len;
        if (family == AF_INET) {
            auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(port));
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *v4;
        } else {
            auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(port));
            v6->sin6_addr = in6addr_loopback;
            len = sizeof *v6;
        }
        if ((family == AF_INET6 &&
             setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) ||
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
            listen(fd, static_cast<int>(kConnectionLimit)) != 0) {
            int err = errno;
            close(fd);
            return err;
        }
        *out = fd;
        return 0;
    }

    static MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method,
                                 const char *, const char *, size_t *, void **request) {
        return static_cast<impl *>(cls)->answer(c, url, method, request);
    }

    static void on_completed(void *cls, MHD_Connection *, void **request,
                             MHD_RequestTerminationCode) {
        impl *self = static_cast<impl *>(cls);
        if (*request != self && *request != &self->start_reused_)
            return;
        std::lock_guard<std::mutex> hold(self->lock_);
        (*request == self ? self->delivered_ : self->refusal_delivered_) = true;
        self->changed_.notify_all();
    }

    // Every answer closes its connection, so a connection owes one request
    // only: once it has arrived, the guard lets the connection be.
    static void on_connection(void *cls, MHD_Connection *c, void **context,
                              MHD_ConnectionNotificationCode code) {
        impl *self = static_cast<impl *>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED)
            self->guard_.started(c, context, "");
        else
            self->guard_.closed(context);
    }

    MHD_Result answer(MHD_Connection *c, const char *url, const char *method, void **request) {
        guard_.request_begun(c);
        if (std::strcmp(method, "GET") != 0)
            return reply(c, MHD_HTTP_METHOD_NOT_ALLOWED,
                         page("Not allowed", "Only GET is served."));
        if (std::strncmp(url, "/start/", 7) == 0)
            return start_page(c, url + 7, request);
        if (std::strcmp(url, "/") != 0) // favicon.ico and the like
            return reply(c, MHD_HTTP_NOT_FOUND, page("Not found", "Nothing here."));
        auto arg = [c](const char *key) {
            const char *v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, key);
            return std::string(v ? v : "");
        };
        redirect r{arg("code"), arg("state"), arg("error"), arg("error_description")};
        std::unique_lock<std::mutex> hold(lock_);
        if (got_)
            return reply(
                c, MHD_HTTP_OK,
                page("Already answered", "This sign-in is complete; you may close this window."));
        if (r.code.empty() && r.error.empty())
            return reply(c, MHD_HTTP_BAD_REQUEST,
                         page("Not a sign-in answer", "nimbus is waiting for the sign-in."));
        if (!same_secret(r.state, state_)) {
            if (!told_forged_) {
                told_forged_ = true;
                print_error("login: an answer that does not belong to this sign-in (state "
                            "mismatch) was ignored; still waiting");
            }
            return reply(c, MHD_HTTP_BAD_REQUEST,
                         page("Not this sign-in",
                              "This answer does not belong to the sign-in nimbus is waiting for."));
        }
        got_ = true;
        got_redirect_ = r;
        *request = this;
        // The exchange may outlast the idle timeout; the page must still go out.
        MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
        changed_.notify_all();
        // The exchange runs on the command's thread; its own timeouts bound this.
        changed_.wait(hold, [this] { return outcome_set_; });
        std::string body =
            outcome_ok_ ? page("Signed in", outcome_text_ + " You may close this window.")
                        : page("Sign-in failed", outcome_text_ + " You may close this window.");
        hold.unlock();
        return reply(c, outcome_ok_ ? MHD_HTTP_OK : MHD_HTTP_BAD_REQUEST, body);
    }

    // GET /start/<token>: the one redirect to the sign-in address.
    MHD_Result start_page(MHD_Connection *c, const char *token, void **request) {
        if (!same_secret(token, start_token_))
            return reply(c, MHD_HTTP_NOT_FOUND, page("Not found", "Nothing here."));
        std::unique_lock<std::mutex> hold(lock_);
        if (start_used_ || std::chrono::steady_clock::now() >= start_until_) {
            if (start_used_ && !got_) {
                start_reused_ = true;
                *request = &start_reused_; // see on_completed
                changed_.notify_all();
            }
            hold.unlock();
            return reply(c, MHD_HTTP_GONE,
                         page("Address used up",
                              "This sign-in address works once and for five minutes; run "
                              "nimbus login again."));
        }
        start_used_ = true;
        hold.unlock();
        return reply(c, MHD_HTTP_FOUND, page("Sign in", "Continue at the Microsoft sign-in page."),
                     sign_in_.c_str());
    }

    static MHD_Result reply(MHD_Connection *c, unsigned status, const std::string &body,
                            const char *location = nullptr) {
        MHD_Response *resp = MHD_create_response_from_buffer(
            body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (!resp)
            return MHD_NO;
        MHD_add_response_header(resp, "Content-Type", "text/html; charset=utf-8");
        MHD_add_response_header(resp, "Cache-Control", "no-store");
        MHD_add_response_header(resp, "Referrer-Policy", "no-referrer");
        MHD_add_response_header(resp, "X-Content-Type-Options", "nosniff");
        MHD_add_response_header(resp, "Content-Security-Policy", "default-src 'none'");
        MHD_add_response_header(resp, "Connection", "close");
        if (location)
            MHD_add_response_header(resp, "Location", location);
        MHD_Result rc = MHD_queue_response(c, status, resp);
        MHD_destroy_response(resp);
        return rc;
    }

    const std::string state_, start_token_, sign_in_;
    MHD_Daemon *daemons_[2] = {nullptr, nullptr};
    int listen_fds_[2] = {-1, -1};
    std::mutex lock_;
    std::condition_variable changed_;
    bool got_ = false;
    redirect got_redirect_;
    bool outcome_set_ = false;
    bool outcome_ok_ = false;
    std::string outcome_text_;
    bool delivered_ = false;
    bool told_forged_ = false;
    bool start_used_ = false;
    bool start_reused_ = false;
    bool refusal_delivered_ = false;
    std::chrono::steady_clock::time_point start_until_;
    // Last: the daemons, stopped in the destructor's body, report their
    // connections' closes to it.
    slow_client_guard guard_;
};

loopback::loopback(std::string state, std::string start_token, std::string sign_in)
    : impl_(new impl(std::move(state), std::move(start_token), std::move(sign_in))) {}

loopback::~loopback() = default;

bool loopback::start(long port, failure *f) {
    return impl_->start(port, f);
}

waited loopback::wait(std::chrono::steady_clock::time_point deadline, redirect *r) {
    return impl_->wait(deadline, r);
}

void loopback::finish(bool ok, const std::string &text) {
    impl_->finish(ok, text);
}

} // namespace login
} // namespace cli
