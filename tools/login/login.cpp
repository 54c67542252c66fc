// `nimbus login`: the OAuth 2.0 authorization-code flow with PKCE (S256)
// against the Microsoft identity platform. The browser comes back to a
// listener on 127.0.0.1 and ::1 (or the user pastes the address it was sent
// to); the code is exchanged at the token endpoint through the command's own
// curl transport, the drive is asked for its type and owner, and the
// settings file is written with the locked writer.
#include "login/login.h"

#include "context.h"
#include "curl_io.h"
#include "fd_guard.h"
#include "json_doc.h"
#include "output.h"
#include "settings_file.h"
#include "text.h"

#include <microhttpd.h>
#include <nimbus.h>
#include <openssl/evp.h>
#include <yyjson.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char **environ;

namespace cli {
namespace {

const char kAuthorizeUrl[] = "https://login.microsoftonline.com/common/oauth2/v2.0/authorize";
const char kDriveUrl[] = "https://graph.microsoft.com/v1.0/me/drive";
const char kDefaultScope[] = "offline_access Files.Read.All";
constexpr size_t kMaxPasted = 16384; // a pasted address; codes are a few KiB at most
constexpr size_t kMaxSecret = 4096;
constexpr size_t kMaxToken = 8192; // what the library accepts

const char *token_url() {
    return "https://login.microsoftonline.com/common/oauth2/v2.0/token";
}

struct failure {
    int status;
    std::string message;
};

// What the browser was sent back with.
struct redirect {
    std::string code, state, error, description;
};

int fail_with(const failure &f) {
    print_error("login: " + f.message);
    return f.status;
}

std::string first_line(const std::string &text) {
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    return line.size() > 300 ? line.substr(0, 300) + "..." : line;
}

std::string base64url(const unsigned char *data, size_t len) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        unsigned v = data[i] << 16;
        if (i + 1 < len)
            v |= data[i + 1] << 8;
        if (i + 2 < len)
            v |= data[i + 2];
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        if (i + 1 < len)
            out += digits[(v >> 6) & 63];
        if (i + 2 < len)
            out += digits[v & 63];
    }
    return out;
}

bool random_text(size_t bytes, std::string *out) {
    unsigned char buf[64];
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = getrandom(buf + done, bytes - done, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    *out = base64url(buf, bytes);
    return true;
}

// The S256 code challenge: base64url(SHA-256(verifier)), unpadded.
bool challenge_of(const std::string &verifier, std::string *out) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(verifier.data(), verifier.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        return false;
    *out = base64url(digest, len);
    return true;
}

// application/x-www-form-urlencoded, also right for a URL query.
std::string form_decode(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        int hi, lo;
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && (hi = hex_value(text[i + 1])) >= 0 &&
                   (lo = hex_value(text[i + 2])) >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The sign-in parameters of a pasted address (or of its query alone).
redirect parse_pasted(std::string text) {
    size_t end = text.find_last_not_of(" \t\r\n");
    text.resize(end == std::string::npos ? 0 : end + 1);
    text.erase(0, text.find_first_not_of(" \t"));
    text = text.substr(0, text.find('#'));
    size_t q = text.find('?');
    if (q != std::string::npos)
        text.erase(0, q + 1);
    redirect r;
    bool seen[4] = {false, false, false, false};
    size_t at = 0;
    while (at <= text.size()) {
        size_t amp = text.find('&', at);
        std::string pair = text.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
        size_t eq = pair.find('=');
        std::string key = form_decode(pair.substr(0, eq));
        std::string value =
            eq == std::string::npos ? std::string() : form_decode(pair.substr(eq + 1));
        std::string *slots[4] = {&r.code, &r.state, &r.error, &r.description};
        const char *names[4] = {"code", "state", "error", "error_description"};
        for (int i = 0; i < 4; i++)
            if (key == names[i] && !seen[i]) { // the first occurrence decides
                *slots[i] = value;
                seen[i] = true;
            }
        if (amp == std::string::npos)
            break;
        at = amp + 1;
    }
    return r;
}

std::string page(const std::string &title, const std::string &text) {
    return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>nimbus: " +
           html_escape(title) + "</title></head><body><h1>" + html_escape(title) + "</h1><p>" +
           html_escape(text) + "</p></body></html>\n";
}

// How a wait for the browser ended.
enum class waited { answered, timed_out, interrupted, start_reused };

// The loopback listener, on 127.0.0.1 and ::1 (the browser resolves
// "localhost" to either). It serves two things:
//
// - GET /start/<token>: once, and for kStartSeconds, a redirect to the
//   sign-in address. The browser is opened on this address, so the state
//   and the code challenge never appear in a command line or environment
//   that other users can read. A second use means someone else read the
//   address: it is refused and the sign-in ends.
// - GET /?code=...&state=... (or error=...): the first answer that carries
//   this sign-in's state goes to the waiting command, and that browser is
//   answered once the command knows how the sign-in ended. An answer with
//   another state (any web page can send one) gets a short page and changes
//   nothing.
//
// Every connection must send its request within kRequestSeconds of being
// accepted, and at most kMaxPending connections may wait for theirs (the
// oldest is closed for a newcomer), so idle connections cannot keep the
// browser out. Every answer closes its connection.
class loopback {
  public:
    loopback(std::string state, std::string start_token, std::string sign_in)
        : state_(std::move(state)), start_token_(std::move(start_token)),
          sign_in_(std::move(sign_in)) {}

    ~loopback() {
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
                flags, 0, nullptr, nullptr, &loopback::on_request, this, MHD_OPTION_LISTEN_SOCKET,
                listen_fds_[i], MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kRequestSeconds),
                MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(64 * 1024),
                MHD_OPTION_NOTIFY_COMPLETED, &loopback::on_completed, this,
                MHD_OPTION_NOTIFY_CONNECTION, &loopback::on_connection, this, MHD_OPTION_END);
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
            close_late(std::chrono::steady_clock::now());
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

  private:
    static constexpr int kStartSeconds = 300;
    static constexpr int kRequestSeconds = 5;
    static constexpr unsigned kConnectionLimit = 64; // per address
    static constexpr size_t kMaxPending = 32;        // both addresses together

    // An accepted connection until it closes.
    struct slot {
        int fd;
        std::chrono::steady_clock::time_point accepted;
        bool requested; // its request arrived: the deadline no longer applies
        bool cut;       // shut down by us; the daemon closes it
    };

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
        return static_cast<loopback *>(cls)->answer(c, url, method, request);
    }

    static void on_completed(void *cls, MHD_Connection *, void **request,
                             MHD_RequestTerminationCode) {
        loopback *self = static_cast<loopback *>(cls);
        if (*request != self && *request != &self->start_reused_)
            return;
        std::lock_guard<std::mutex> hold(self->lock_);
        (*request == self ? self->delivered_ : self->refusal_delivered_) = true;
        self->changed_.notify_all();
    }

    static void on_connection(void *cls, MHD_Connection *c, void **context,
                              MHD_ConnectionNotificationCode code) {
        loopback *self = static_cast<loopback *>(cls);
        std::lock_guard<std::mutex> hold(self->slots_lock_);
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            // Forgotten before the daemon closes the socket, so a late
            // shutdown never reaches a reused descriptor.
            for (auto it = self->slots_.begin(); it != self->slots_.end(); ++it)
                if (&*it == *context) {
                    self->slots_.erase(it);
                    break;
                }
            *context = nullptr;
            return;
        }
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info)
            return;
        try {
            self->slots_.push_back(
                {info->connect_fd, std::chrono::steady_clock::now(), false, false});
            *context = &self->slots_.back();
        } catch (...) {
            shutdown(info->connect_fd, SHUT_RDWR); // no room to track it: not served
            return;
        }
        // Room for the next connection: the oldest that still owes its
        // request makes way.
        size_t pending = 0;
        slot *oldest = nullptr;
        for (slot &s : self->slots_)
            if (!s.requested && !s.cut) {
                pending++;
                if (!oldest)
                    oldest = &s;
            }
        if (pending > kMaxPending && oldest) {
            shutdown(oldest->fd, SHUT_RDWR);
            oldest->cut = true;
        }
    }

    // Shuts down the connections that owe their request past the deadline.
    void close_late(std::chrono::steady_clock::time_point now) {
        std::lock_guard<std::mutex> hold(slots_lock_);
        for (slot &s : slots_)
            if (!s.requested && !s.cut &&
                now - s.accepted >= std::chrono::seconds(kRequestSeconds)) {
                shutdown(s.fd, SHUT_RDWR);
                s.cut = true;
            }
    }

    void mark_requested(MHD_Connection *c) {
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        std::lock_guard<std::mutex> hold(slots_lock_);
        if (info && info->socket_context)
            static_cast<slot *>(info->socket_context)->requested = true;
    }

    MHD_Result answer(MHD_Connection *c, const char *url, const char *method, void **request) {
        mark_requested(c);
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
    std::mutex slots_lock_;
    std::list<slot> slots_;
};

// Reads one pasted line from stdin, waiting until the deadline (late says
// which limit that is) or Ctrl-C.
bool read_pasted(std::chrono::steady_clock::time_point deadline, const std::string &late,
                 std::string *line, failure *f) {
    line->clear();
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (interrupted()) {
            *f = {EXIT_INTERRUPTED, "interrupted"};
            return false;
        }
        if (left <= 0) {
            *f = {EXIT_OTHER, "no address was pasted " + late};
            return false;
        }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left > 1000 ? 1000 : left));
        if (n < 0 && errno != EINTR) {
            *f = {EXIT_OTHER,
                  std::string("cannot read the pasted address: ") + std::strerror(errno)};
            return false;
        }
        if (n <= 0)
            continue;
        char c;
        ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (line->find_first_not_of(" \t\r") == std::string::npos) {
                *f = {EXIT_OTHER, "no address was pasted"};
                return false;
            }
            return true;
        }
        if (c == '\n') {
            if (line->find_first_not_of(" \t\r") != std::string::npos)
                return true;
            line->clear();
            continue;
        }
        if (line->size() >= kMaxPasted) {
            *f = {EXIT_OTHER, "the pasted address is longer than 16 KiB"};
            return false;
        }
        *line += c;
    }
}

volatile sig_atomic_t g_tty_fd = -1;
termios g_tty_before;

void restore_echo(int sig) {
    if (g_tty_fd >= 0)
        tcsetattr(g_tty_fd, TCSAFLUSH, &g_tty_before);
    signal(sig, SIG_DFL);
    raise(sig);
}

// The client secret: a file, the environment, the settings' own (for the
// same client id), or a prompt without echo. Never the command line.
bool client_secret(const options &o, const std::string &stored, std::string *secret, failure *f) {
    if (!o.client_secret_file.empty()) {
        fd_guard fd;
        fd.fd = open(o.client_secret_file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        struct stat st;
        if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *f = {EXIT_USAGE, "cannot read the client secret from " + o.client_secret_file +
                                  (fd.fd < 0 ? std::string(": ") + std::strerror(errno)
                                             : std::string(": not a regular file"))};
            return false;
        }
        char buf[kMaxSecret + 1];
        ssize_t n = read(fd.fd, buf, sizeof buf);
        if (n < 0 || static_cast<size_t>(n) > kMaxSecret) {
            *f = {EXIT_USAGE,
                  "cannot read the client secret from " + o.client_secret_file +
                      (n < 0 ? ": " + std::string(std::strerror(errno)) : ": longer than 4 KiB")};
            return false;
        }
        secret->assign(buf, static_cast<size_t>(n));
    } else if (const char *env = std::getenv("NIMBUS_CLIENT_SECRET")) {
        secret->assign(env);
    } else if (!stored.empty()) {
        *secret = stored;
    } else {
        fd_guard tty;
        tty.fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        termios before{};
        if (tty.fd < 0 || tcgetattr(tty.fd, &before) != 0) {
            *f = {EXIT_USAGE, "no client secret: give --client-secret-file FILE or set "
                              "NIMBUS_CLIENT_SECRET (there is no terminal to ask on)"};
            return false;
        }
        const char prompt[] = "client secret (not shown): ";
        if (write(tty.fd, prompt, sizeof prompt - 1) < 0) {
            // the prompt is a courtesy; reading still works
        }
        termios quiet = before;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        // Ctrl-C at the prompt must not leave the terminal without echo.
        g_tty_fd = tty.fd;
        g_tty_before = before;
        struct sigaction restore {
        }, previous{};
        restore.sa_handler = restore_echo;
        sigemptyset(&restore.sa_mask);
        sigaction(SIGINT, &restore, &previous);
        sigaction(SIGTERM, &restore, nullptr);
        tcsetattr(tty.fd, TCSAFLUSH, &quiet);
        char c;
        while (secret->size() <= kMaxSecret && read(tty.fd, &c, 1) == 1 && c != '\n')
            *secret += c;
        tcsetattr(tty.fd, TCSAFLUSH, &before);
        sigaction(SIGINT, &previous, nullptr);
        signal(SIGTERM, SIG_DFL);
        g_tty_fd = -1;
        if (write(tty.fd, "\n", 1) < 0) {
            // as above
        }
    }
    size_t end = secret->find_last_not_of(" \t\r\n");
    secret->resize(end == std::string::npos ? 0 : end + 1);
    secret->erase(0, secret->find_first_not_of(" \t"));
    if (secret->empty() || secret->size() > kMaxSecret || has_control(*secret)) {
        *f = {EXIT_USAGE, secret->empty() ? "the client secret is empty"
                                          : "the client secret is not one line of text"};
        return false;
    }
    return true;
}

// Opens xdg-open on the address when there is a display; quietly nothing
// otherwise (the address is printed anyway). The launcher and the browser
// get the environment without the command's own variables: the client
// secret may be among them.
void open_browser(const std::string &url) {
    const char *x = std::getenv("DISPLAY");
    const char *w = std::getenv("WAYLAND_DISPLAY");
    if (!(x && *x) && !(w && *w))
        return;
    std::vector<char *> env;
    for (char **e = environ; *e; e++)
        if (std::strncmp(*e, "NIMBUS_", 7) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return;
    for (int fd = 0; fd <= 2; fd++)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    pid_t pid;
    char *argv[] = {const_cast<char *>("xdg-open"), const_cast<char *>(url.c_str()), nullptr};
    posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
}

int status_exit(long status) {
    if (status == 400 || status == 401 || status == 403)
        return EXIT_AUTH;
    if (status == 404 || status == 410)
        return EXIT_NOT_FOUND;
    if (status == 429)
        return EXIT_THROTTLED;
    if (status == 0 || status == 500 || status == 502 || status == 503 || status == 504)
        return EXIT_UNAVAILABLE;
    return EXIT_OTHER;
}

std::string str_at(yyjson_val *v, std::initializer_list<const char *> keys) {
    for (const char *k : keys)
        v = yyjson_obj_get(v, k);
    return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string();
}

// One exchange through the transport table; the answer is copied out and
// released the way the table wants.
struct http_answer {
    bool arrived = false;
    int32_t status = 0;
    std::string body;
    std::string error;
};

http_answer call(const nimbus_io *io, const std::string &url, const std::string *form) {
    char *body = nullptr, *error = nullptr;
    http_answer a;
    int rc = form ? io->post(io->ctx, url.c_str(), form->c_str(),
                             "application/x-www-form-urlencoded", &body, &a.status, &error)
                  : io->get(io->ctx, url.c_str(), &body, &a.status, &error);
    a.arrived = rc == 0;
    if (body)
        a.body = body;
    if (error)
        a.error = error;
    for (char *text : {body, error}) {
        if (!text)
            continue;
        if (io->free)
            io->free(io->ctx, text);
        else
            std::free(text);
    }
    return a;
}

struct tokens {
    std::string access, refresh;
};

// The authorization-code grant.
bool exchange(const nimbus_io *io, const std::string &form, tokens *t, failure *f) {
    http_answer a = call(io, token_url(), &form);
    if (!a.arrived) {
        *f = {EXIT_UNAVAILABLE, "the token endpoint cannot be reached: " + first_line(a.error)};
        return false;
    }
    doc_ptr doc = read_json(a.body);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    std::string error = str_at(root, {"error"});
    if (a.status == 200 && error.empty()) {
        t->access = str_at(root, {"access_token"});
        t->refresh = str_at(root, {"refresh_token"});
        if (t->access.empty() || t->access.size() > kMaxToken || has_control(t->access)) {
            *f = {EXIT_OTHER, "the token endpoint answered no usable access token"};
            return false;
        }
        if (t->refresh.empty() || t->refresh.size() > kMaxToken || has_control(t->refresh)) {
            *f = {EXIT_AUTH, "the service issued no usable refresh token (does the scope "
                             "include offline_access?)"};
            return false;
        }
        return true;
    }
    int status = error.empty() ? status_exit(a.status)
                               : (a.status >= 500 ? status_exit(a.status) : EXIT_AUTH);
    std::string why = error.empty()
                          ? "HTTP " + std::to_string(a.status)
                          : error + ": " + first_line(str_at(root, {"error_description"}));
    *f = {status, "the code exchange was refused: " + why};
    return false;
}

struct drive_info {
    bool business = false;
    std::string type, name, email;
};

bool read_drive(const nimbus_io *io, const std::string &access, drive_info *d, failure *f) {
    http_answer a = call(io, std::string(kDriveUrl) + NIMBUS_BEARER_MARKER + access, nullptr);
    if (!a.arrived) {
        *f = {EXIT_UNAVAILABLE, "Graph cannot be reached: " + first_line(a.error)};
        return false;
    }
    doc_ptr doc = read_json(a.body);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (a.status != 200 || !yyjson_is_obj(root)) {
        std::string message = first_line(str_at(root, {"error", "message"}));
        *f = {status_exit(a.status), std::string("reading the drive failed: HTTP ") +
                                         std::to_string(a.status) +
                                         (message.empty() ? "" : ": " + message)};
        return false;
    }
    d->type = str_at(root, {"driveType"});
    d->business = d->type == "business";
    d->name = str_at(root, {"owner", "user", "displayName"});
    d->email = str_at(root, {"owner", "user", "email"});
    return true;
}

bool json_object(const std::string &text) {
    doc_ptr doc = read_json(text);
    return doc && yyjson_is_obj(yyjson_doc_get_root(doc.get()));
}

} // namespace

int run_login(const options &o) {
    std::string path = o.settings_path.empty() ? default_settings_path() : o.settings_path;
    long port = o.port ? o.port : kLoginPort;

    // An existing file: read first, so nothing is signed in for a file that
    // cannot take the result.
    std::string existing;
    file_identity identity;
    struct stat st;
    bool exists = lstat(path.c_str(), &st) == 0;
    if (exists) {
        std::string error;
        if (!read_settings(path, &existing, &error, &identity)) {
            print_error("login: " + error);
            return EXIT_SETTINGS;
        }
        if (!json_object(existing)) {
            print_error("login: the settings file " + path +
                        " is not a JSON object: fix or remove it first");
            return EXIT_SETTINGS;
        }
    }
    std::string client_id =
        o.client_id.empty() ? settings_value(existing, "ClientId") : o.client_id;
    if (client_id.empty()) {
        print_error("login needs --client-id ID: the application (client) ID of your app "
                    "registration (see nimbus help login)");
        return EXIT_USAGE;
    }
    if (client_id.size() > 256 || has_control(client_id)) {
        print_error("login: --client-id is not an application id");
        return EXIT_USAGE;
    }
    std::string scope = !o.scope.empty() ? o.scope : settings_value(existing, "scope");
    if (scope.empty())
        scope = kDefaultScope;
    std::string secret;
    failure f{EXIT_OTHER, ""};
    std::string stored_secret = settings_value(existing, "ClientId") == client_id
                                    ? settings_value(existing, "ClientSecret")
                                    : std::string();
    if (!client_secret(o, stored_secret, &secret, &f))
        return fail_with(f);

    std::string verifier, challenge, state;
    if (!random_text(48, &verifier) || !random_text(24, &state) ||
        !challenge_of(verifier, &challenge))
        return fail_with(
            {EXIT_OTHER, "cannot make the sign-in secrets (random source or SHA-256)"});
    std::string redirect_uri = "http://localhost:" + std::to_string(port) + "/";
    std::string url = std::string(kAuthorizeUrl) + "?client_id=" + url_encode(client_id, false) +
                      "&response_type=code&redirect_uri=" + url_encode(redirect_uri, false) +
                      "&response_mode=query&scope=" + url_encode(scope, false) + "&state=" + state +
                      "&code_challenge=" + challenge +
                      "&code_challenge_method=S256&prompt=select_account";

    // The wait for the browser ends at --wait or at --max-time, whichever
    // comes first, or at Ctrl-C.
    catch_interrupt();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.wait_s);
    std::string late = "within " + std::to_string(o.wait_s) + " seconds (--wait)";
    if (o.max_time_s > 0) {
        auto limit = o.started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(o.max_time_s));
        if (limit < deadline) {
            deadline = limit;
            char text[64];
            std::snprintf(text, sizeof text, "before the --max-time of %g s ran out", o.max_time_s);
            late = text;
        }
    }
    redirect got;
    std::unique_ptr<loopback> listener;
    if (o.no_browser) {
        std::fprintf(stderr,
                     "Open this address in a browser on any machine and sign in:\n\n%s\n\n"
                     "The browser is then sent to %s?code=... (a page that will not load\n"
                     "there). Paste that whole address here and press Enter:\n",
                     url.c_str(), redirect_uri.c_str());
        std::string line;
        if (!read_pasted(deadline, late, &line, &f))
            return fail_with(f);
        got = parse_pasted(line);
    } else {
        // The browser is opened on a one-time address of the listener, so
        // that no command line shows the state or the code challenge; the
        // full address is printed for the user alone.
        std::string start_token;
        if (!random_text(24, &start_token))
            return fail_with({EXIT_OTHER, "cannot make the sign-in secrets (random source)"});
        listener.reset(new loopback(state, start_token, url));
        if (!listener->start(port, &f))
            return fail_with(f);
        std::fprintf(stderr, "Open this address in a browser and sign in:\n\n%s\n\n", url.c_str());
        open_browser("http://127.0.0.1:" + std::to_string(port) + "/start/" + start_token);
        std::fprintf(stderr, "Waiting up to %ld seconds for the browser at %s ...\n", o.wait_s,
                     redirect_uri.c_str());
        switch (listener->wait(deadline, &got)) {
        case waited::answered:
            break;
        case waited::timed_out:
            return fail_with({EXIT_OTHER, "no sign-in arrived " + late});
        case waited::interrupted:
            return fail_with({EXIT_INTERRUPTED, "interrupted"});
        case waited::start_reused:
            return fail_with({EXIT_AUTH, "the one-time sign-in address was opened twice "
                                         "(another user may have read it): nothing was "
                                         "exchanged; run nimbus login again"});
        }
    }

    // From here on every outcome is also told to the browser. An answer
    // without our state is not believed, not even a refusal.
    auto finish = [&](bool ok, const failure &result, const std::string &page_text) {
        if (listener)
            listener->finish(ok, page_text);
        return ok ? EXIT_OK : fail_with(result);
    };
    if (!same_secret(got.state, state))
        return finish(false,
                      {EXIT_AUTH, "the answer does not belong to this sign-in (state mismatch); "
                                  "nothing was exchanged"},
                      "This answer does not belong to the sign-in nimbus started.");
    if (!got.error.empty()) {
        std::string why = first_line(got.description);
        return finish(
            false,
            {EXIT_AUTH, "the sign-in was refused: " + got.error + (why.empty() ? "" : ": " + why)},
            "The sign-in was refused (" + got.error + ").");
    }
    if (got.code.empty() || has_control(got.code))
        return finish(false, {EXIT_AUTH, "the answer carries no authorization code"},
                      "The answer carries no authorization code.");

    int status;
    {
        curl_transport curl(transport_settings(o));
        std::string form = "client_id=" + url_encode(client_id, false) +
                           "&scope=" + url_encode(scope, false) +
                           "&code=" + url_encode(got.code, false) +
                           "&redirect_uri=" + url_encode(redirect_uri, false) +
                           "&grant_type=authorization_code&code_verifier=" + verifier +
                           "&client_secret=" + url_encode(secret, false);
        tokens t;
        drive_info d;
        if (!exchange(curl.table(), form, &t, &f) || !read_drive(curl.table(), t.access, &d, &f)) {
            if (interrupted())
                f = {EXIT_INTERRUPTED, "interrupted"};
            status = finish(false, f, "The sign-in did not complete; the terminal says why.");
        } else {
            std::vector<member> updates = {
                {"ClientId", client_id},
                {"ClientSecret", secret},
                {refresh_token_key(existing, "refresh_token"), t.refresh},
                {"RuntimeType", d.business ? "ONEDRIVEB" : "ONEDRIVE"}};
            if (o.has_root_path)
                updates.emplace_back("Path", o.root_path);
            if (!o.scope.empty())
                updates.emplace_back("scope", o.scope);
            std::string error;
            if (!store_members(path, updates, exists ? &identity : nullptr, &error,
                               settings_lock_wait(o))) {
                status = finish(false,
                                {interrupted() ? EXIT_INTERRUPTED : EXIT_OTHER,
                                 "cannot store the settings: " + error},
                                "nimbus could not store the settings; the terminal says why.");
            } else {
                status = finish(true, f, "nimbus is signed in.");
                std::string who = d.name.empty() ? d.email : d.name;
                if (!d.email.empty() && !d.name.empty())
                    who += " <" + d.email + ">";
                std::string next = o.settings_path.empty()
                                       ? "nimbus list /"
                                       : "nimbus --settings " + o.settings_path + " list /";
                std::printf("signed in as %s, %s (RuntimeType %s); settings stored in %s; "
                            "next: %s\n",
                            printable(who.empty() ? "an unnamed account" : who).c_str(),
                            d.business ? "a OneDrive for Business drive" : "a personal OneDrive",
                            d.business ? "ONEDRIVEB" : "ONEDRIVE", printable(path).c_str(),
                            printable(next).c_str());
            }
        }
    }
    curl_shutdown();
    return status;
}

} // namespace cli
