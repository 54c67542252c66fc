// The loopback listener of the browser sign-in: the one-time /start
// address the browser is opened on, and the redirect the identity platform
// sends the browser back with.
#ifndef NIMBUS_TOOLS_LOGIN_LISTENER_H
#define NIMBUS_TOOLS_LOGIN_LISTENER_H

#include "login/flow.h"

#include <chrono>
#include <memory>
#include <string>

namespace cli {
namespace login {

// What the browser was sent back with.
struct redirect {
    std::string code, state, error, description;
};

// How a wait for the browser ended.
enum class waited { answered, timed_out, interrupted, start_reused };

// A small HTML page, title and text escaped.
std::string page(const std::string &title, const std::string &text);

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
    // state: this sign-in's; start_token: the secret part of the /start
    // address; sign_in: the authorize address /start redirects to.
    loopback(std::string state, std::string start_token, std::string sign_in);
    ~loopback();
    loopback(const loopback &) = delete;
    loopback &operator=(const loopback &) = delete;

    // Listens on port on both loopback addresses (::1 only where the
    // machine has IPv6).
    bool start(long port, failure *f);
    // Waits for the browser to come back, closing connections that are late
    // with their request meanwhile.
    waited wait(std::chrono::steady_clock::time_point deadline, redirect *r);
    // Answers the browser that brought the redirect, and gives the page a
    // moment to leave before the listener stops.
    void finish(bool ok, const std::string &text);

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace login
} // namespace cli

#endif
