// The gateway's sign-in from a browser (see signin.h).
#include "serve/signin.h"

#include "context.h"
#include "curl_io.h"
#include "login/client.h"
#include "login/flow.h"
#include "login/login.h"
#include "login/pkce.h"
#include "output.h"
#include "serve/errors.h"
#include "serve/pages.h"
#include "text.h"

#include <cstdio>
#include <cstring>

namespace cli {
namespace {

using clock_type = std::chrono::steady_clock;

// How often the waiting page looks again: often enough that the drive shows
// soon after the user finished, seldom enough to cost nothing.
constexpr int kRefreshSeconds = 3;

std::string minutes_of(long seconds) {
    long m = (seconds + 59) / 60;
    return std::to_string(m) + (m == 1 ? " minute" : " minutes");
}

std::string form(const request &q, const std::string &form_token, const std::string &label) {
    std::string action =
        std::string(kSigninPath) + "?csrf=" + url_encode(form_token, false) + token_query(q, '&');
    return "<form method=\"post\" action=\"" + html_escape(action) + "\"><button type=\"submit\">" +
           html_escape(label) + "</button></form>\n";
}

} // namespace

std::string signin_page(const signin_view &v, const request &q, const std::string &form_token,
                        bool signed_in) {
    std::string root = "/" + token_query(q, '?');
    std::string head, body;
    switch (v.now) {
    case signin_view::asking:
    case signin_view::storing:
        head = "<meta http-equiv=\"refresh\" content=\"1\">\n";
        body = "<p>" +
               std::string(v.now == signin_view::asking ? "Asking the service for a code…"
                                                        : "Signed in; storing the settings…") +
               "</p>\n";
        break;
    case signin_view::waiting:
        head =
            "<meta http-equiv=\"refresh\" content=\"" + std::to_string(kRefreshSeconds) + "\">\n";
        body = "<p>On any device, open <a href=\"" + html_escape(v.address) +
               "\" target=\"_blank\" rel=\"noreferrer noopener\">" + html_escape(v.address) +
               "</a> and enter the code</p>\n<p><code style=\"font-size:2rem\">" +
               html_escape(v.user_code) + "</code></p>\n<p>The code expires in " +
               minutes_of(v.seconds_left) +
               ". This page looks again every few seconds until the sign-in arrives.</p>\n";
        break;
    case signin_view::done:
        head = "<meta http-equiv=\"refresh\" content=\"" + std::to_string(kRefreshSeconds) +
               ";url=" + html_escape(root) + "\">\n";
        body = "<p>Signed in. The drive opens in a moment: <a href=\"" + html_escape(root) +
               "\">the drive</a>.</p>\n";
        break;
    case signin_view::failed:
        body = "<p>The sign-in did not complete: " + html_escape(v.why) + "</p>\n" +
               (form_token.empty() ? std::string() : form(q, form_token, "Try again"));
        break;
    case signin_view::idle:
        body = std::string(signed_in ? "<p>The gateway is signed in. Signing in again replaces "
                                       "the account it serves.</p>\n"
                                     : "<p>The gateway is not signed in to a drive.</p>\n") +
               (form_token.empty() ? std::string("<p>No sign-in can start here (no random source)."
                                                 " Run <code>nimbus login</code>.</p>\n")
                                   : form(q, form_token, "Sign in with a Microsoft account"));
        break;
    }
    return plain_page("Sign in", head,
                      "<nav><a href=\"" + html_escape(root) +
                          "\">Drive</a></nav>\n<h1>Sign in</h1>\n" + body);
}

browser_signin::browser_signin(const options &o, std::function<void()> on_stored)
    : o_(o), on_stored_(std::move(on_stored)) {
    if (!login::random_text(24, &form_token_))
        form_token_.clear();
}

browser_signin::~browser_signin() {
    stop();
}

void browser_signin::start() {
    std::lock_guard<std::mutex> hold(lock_);
    if (stop_ || form_token_.empty() || view_.now == signin_view::asking ||
        view_.now == signin_view::waiting || view_.now == signin_view::storing)
        return;
    if (thread_.joinable())
        thread_.join(); // the last flow has ended: its thread is done
    view_ = signin_view();
    view_.now = signin_view::asking;
    thread_ = std::thread([this] { run(); });
}

signin_view browser_signin::look() const {
    std::lock_guard<std::mutex> hold(lock_);
    signin_view v = view_;
    if (v.now == signin_view::waiting) {
        auto left = std::chrono::duration_cast<std::chrono::seconds>(expires_ - clock_type::now());
        v.seconds_left = left.count() > 0 ? static_cast<long>(left.count()) : 0;
    }
    return v;
}

void browser_signin::stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void browser_signin::fail(const std::string &why) {
    std::fprintf(stderr, "nimbus: serve: the sign-in from the browser did not complete: %s\n",
                 printable(why).c_str());
    std::lock_guard<std::mutex> hold(lock_);
    view_.now = signin_view::failed;
    view_.why = why;
}

bool browser_signin::pause_until(clock_type::time_point at) {
    std::unique_lock<std::mutex> hold(lock_);
    wake_.wait_until(hold, at, [this] { return stop_; });
    return !stop_;
}

void browser_signin::run() {
    try {
        // The same application and the same file as `nimbus login` would
        // take; nobody is asked for a secret at the gateway's terminal.
        login::target t;
        login::failure f{EXIT_OTHER, ""};
        if (!login::target_of(o_, &t, &f) || !login::client_of(o_, t.existing, &t.who, &f, false))
            return fail(f.message.compare(0, 17, "login needs --cli") == 0
                            ? "the gateway knows no application (client) id: start it with "
                              "--client-id ID, or sign in once with `nimbus login`"
                            : f.message);
        curl_transport curl(transport_settings(o_));
        std::string settings = t.who.settings();
        login::device_code d;
        if (!login::device_begin(settings, curl.table(), &d, &f))
            return fail(f.message);
        auto deadline = clock_type::now() + std::chrono::seconds(d.expires_in);
        {
            std::lock_guard<std::mutex> hold(lock_);
            view_.now = signin_view::waiting;
            view_.user_code = d.user_code;
            view_.address = d.verification_uri;
            expires_ = deadline;
        }
        std::fprintf(stderr, "nimbus: serve: a sign-in from the browser waits for its code\n");
        std::string refresh;
        for (;;) {
            auto next = clock_type::now() + std::chrono::seconds(d.interval);
            if (next >= deadline)
                return fail("the code expired before the sign-in arrived");
            if (!pause_until(next))
                return fail("the gateway stopped");
            login::polled p = login::device_poll(settings, curl.table(), &d, &refresh, &f);
            if (p == login::polled::signed_in)
                break;
            if (p == login::polled::refused)
                return fail(f.message);
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            view_.now = signin_view::storing;
        }
        std::string page_text;
        if (login::finish_signin(o_, t, curl.table(), refresh, &page_text) != EXIT_OK)
            return fail(page_text);
        {
            std::lock_guard<std::mutex> hold(lock_);
            view_.now = signin_view::done;
        }
        if (on_stored_)
            on_stored_();
    } catch (...) {
        fail("out of memory");
    }
}

reply signin_reply(browser_signin &s, const request &q, const char *method, const char *csrf,
                   const char *origin, const char *fetched_from, const char *host, bool signed_in) {
    if (std::strcmp(method, "POST") == 0) {
        std::string own = std::string("http://") + (host ? host : "");
        if (!csrf || s.form_token().empty() || !same_secret(csrf, s.form_token()))
            return error_reply(403,
                               "This sign-in form is not this gateway's: open the sign-in "
                               "page again",
                               false);
        // The gateway's pages ask for no referrer, so a browser names the
        // origin of their form "null"; another origin, or a fetch the
        // browser calls cross-site, is another site's doing.
        bool foreign = (origin && std::strcmp(origin, "null") != 0 && own != origin) ||
                       (fetched_from && std::strcmp(fetched_from, "same-origin") != 0 &&
                        std::strcmp(fetched_from, "none") != 0);
        if (foreign)
            return error_reply(403, "A sign-in starts only from this gateway's own page", false);
        s.start();
        reply r;
        r.status = 303;
        r.headers.emplace_back("Location", kSigninPath + token_query(q, '?'));
        return r;
    }
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        reply r = error_reply(405, "only GET, HEAD and POST are served here", false);
        r.headers.emplace_back("Allow", "GET, HEAD, POST");
        return r;
    }
    reply r;
    r.body = signin_page(s.look(), q, s.form_token(), signed_in);
    return r;
}

} // namespace cli
