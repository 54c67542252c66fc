// Signing the gateway in from a browser: /.signin starts the device-code
// flow (the same grants as `nimbus login --device`), shows the code and the
// service's device page, polls on a thread of its own and stores the
// settings with the same writer as `nimbus login`. The gateway then takes
// the new settings file as it takes any other (reload.h).
//
// Who may: whoever passes the gateway's own checks (a loopback listener's
// Host, the secret on a network listener; never a file's capability). A
// flow starts only on a POST that carries the token of the page's form and
// that the browser does not say came from elsewhere: another site cannot
// start one in the user's browser.
#ifndef NIMBUS_TOOLS_SERVE_SIGNIN_H
#define NIMBUS_TOOLS_SERVE_SIGNIN_H

#include "commands.h"
#include "serve/exchange.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// The page's path; a drive item of that name at the root is not reachable.
constexpr char kSigninPath[] = "/.signin";

// What the page shows of the flow.
struct signin_view {
    enum stage { idle, asking, waiting, storing, done, failed } now = idle;
    std::string user_code;
    std::string address;   // the service's device page (https)
    long seconds_left = 0; // until the code expires
    std::string why;       // failed: one line
};

// The flow's page: the form (with its token) unless a flow is under way,
// the code and the address while it waits, refreshing itself (no script)
// until the sign-in is stored.
std::string signin_page(const signin_view &v, const request &q, const std::string &form_token,
                        bool signed_in);

class browser_signin {
  public:
    // on_stored runs on the flow's thread once the settings are stored.
    browser_signin(const options &o, std::function<void()> on_stored);
    ~browser_signin();
    browser_signin(const browser_signin &) = delete;
    browser_signin &operator=(const browser_signin &) = delete;

    // The token the form carries; "" when no random source was at hand
    // (then no flow can start).
    const std::string &form_token() const { return form_token_; }
    // Starts a flow unless one is under way (one at a time).
    void start();
    signin_view look() const;
    // Ends a flow under way (its next wait ends at once) and joins it.
    void stop();

  private:
    void run();
    void fail(const std::string &why);
    // Waits until at; false when stopped meanwhile.
    bool pause_until(std::chrono::steady_clock::time_point at);

    const options &o_;
    std::function<void()> on_stored_;
    std::string form_token_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    signin_view view_;
    std::chrono::steady_clock::time_point expires_{};
    std::thread thread_;
};

// The answer to METHOD on the page: GET and HEAD show it; POST with the
// form's token (csrf) starts a flow and sends the browser back to the page
// (303), unless the browser says it comes from elsewhere (origin: the
// Origin header; fetched_from: Sec-Fetch-Site); anything else is refused.
// host is the request's Host header (checked by the caller).
reply signin_reply(browser_signin &s, const request &q, const char *method, const char *csrf,
                   const char *origin, const char *fetched_from, const char *host, bool signed_in);

} // namespace cli

#endif
