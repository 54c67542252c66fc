// The browser flows of `nimbus login`: the authorization code with PKCE,
// brought back to the loopback listener or pasted by the user; and the
// pieces every flow shares.
#include "login/flow.h"

#include "json_doc.h"
#include "login/listener.h"
#include "login/login.h"
#include "login/pkce.h"
#include "output.h"
#include "signals.h"
#include "text.h"

#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace cli {
namespace login {
namespace {

constexpr size_t kMaxPasted = 16384; // a pasted address; codes are a few KiB at most

std::string first_line(const std::string &text);
redirect parse_pasted(std::string text);
bool read_pasted(const wait_limit &limit, std::string *line, failure *f);
void open_browser(const std::string &url);

} // namespace

int fail_with(const failure &f) {
    print_error("login: " + f.message);
    return f.status;
}

wait_limit limit_of(const options &o, long seconds, const std::string &what) {
    wait_limit l{std::chrono::steady_clock::now() + std::chrono::seconds(seconds), what};
    if (o.max_time_s > 0) {
        auto at = o.started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(o.max_time_s));
        if (at < l.deadline) {
            l.deadline = at;
            char text[64];
            std::snprintf(text, sizeof text, "before the --max-time of %g s ran out", o.max_time_s);
            l.late = text;
        }
    }
    return l;
}

int token_grant(const std::string &settings, const nimbus_io *io, const std::string &grant,
                std::string *answer, std::string *message) {
    std::vector<char> out(64 * 1024);
    int rc = nimbus_token_grant(settings.c_str(), io, grant.c_str(), out.data(),
                                static_cast<int32_t>(out.size()));
    *answer = rc == NIMBUS_OK ? out.data() : "";
    *message = nimbus_last_error();
    return rc;
}

std::string json_text(const std::string &json, const char *key) {
    doc_ptr doc = read_json(json);
    yyjson_val *v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), key) : nullptr;
    return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string();
}

long long json_number(const std::string &json, const char *key) {
    doc_ptr doc = read_json(json);
    yyjson_val *v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), key) : nullptr;
    return yyjson_is_int(v) ? static_cast<long long>(yyjson_get_sint(v)) : 0;
}

int browser_flow(const options &o, const std::string &settings, const nimbus_io *io,
                 const finish_fn &finish) {
    long port = o.port ? o.port : kLoginPort;
    std::string verifier, challenge, state;
    if (!random_text(48, &verifier) || !random_text(24, &state) ||
        !challenge_of(verifier, &challenge))
        return fail_with(
            {EXIT_OTHER, "cannot make the sign-in secrets (random source or SHA-256)"});
    std::string redirect_uri = "http://localhost:" + std::to_string(port) + "/";
    std::string answer, message;
    int rc = token_grant(settings, nullptr,
                         "{\"grant_type\":\"authorization_code\",\"code_challenge\":" +
                             json_string(challenge) + ",\"state\":" + json_string(state) +
                             ",\"redirect_uri\":" + json_string(redirect_uri) + "}",
                         &answer, &message);
    std::string url = json_text(answer, "authorize_url");
    if (rc != NIMBUS_OK || url.empty())
        return fail_with({rc == NIMBUS_OK ? EXIT_OTHER : exit_for(rc),
                          "cannot make the sign-in address: " + message});

    // The wait for the browser ends at --wait or at --max-time, whichever
    // comes first, or at Ctrl-C.
    catch_interrupt();
    wait_limit limit =
        limit_of(o, o.wait_s, "within " + std::to_string(o.wait_s) + " seconds (--wait)");
    failure f{EXIT_OTHER, ""};
    redirect got;
    std::unique_ptr<loopback> listener;
    if (o.no_browser) {
        std::fprintf(stderr,
                     "Open this address in a browser on any machine and sign in:\n\n%s\n\n"
                     "The browser is then sent to %s?code=... (a page that will not load\n"
                     "there). Paste that whole address here and press Enter:\n",
                     url.c_str(), redirect_uri.c_str());
        std::string line;
        if (!read_pasted(limit, &line, &f))
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
        switch (listener->wait(limit.deadline, &got)) {
        case waited::answered:
            break;
        case waited::timed_out:
            return fail_with({EXIT_OTHER, "no sign-in arrived " + limit.late});
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
    auto refuse = [&](const failure &result, const std::string &page_text) {
        if (listener)
            listener->finish(false, page_text);
        return fail_with(result);
    };
    if (!same_secret(got.state, state))
        return refuse({EXIT_AUTH, "the answer does not belong to this sign-in (state mismatch); "
                                  "nothing was exchanged"},
                      "This answer does not belong to the sign-in nimbus started.");
    if (!got.error.empty()) {
        std::string why = first_line(got.description);
        return refuse(
            {EXIT_AUTH, "the sign-in was refused: " + got.error + (why.empty() ? "" : ": " + why)},
            "The sign-in was refused (" + got.error + ").");
    }
    if (got.code.empty() || has_control(got.code))
        return refuse({EXIT_AUTH, "the answer carries no authorization code"},
                      "The answer carries no authorization code.");

    rc = token_grant(settings, io,
                     "{\"grant_type\":\"authorization_code\",\"code\":" + json_string(got.code) +
                         ",\"redirect_uri\":" + json_string(redirect_uri) +
                         ",\"code_verifier\":" + json_string(verifier) + "}",
                     &answer, &message);
    std::string refresh = json_text(answer, "refresh_token");
    if (rc != NIMBUS_OK || refresh.empty()) {
        failure why = interrupted() ? failure{EXIT_INTERRUPTED, "interrupted"}
                                    : failure{rc == NIMBUS_OK ? EXIT_OTHER : exit_for(rc),
                                              "the code exchange was refused: " + message};
        return refuse(why, "The sign-in did not complete; the terminal says why.");
    }
    std::string page_text;
    int status = finish(refresh, &page_text);
    if (listener)
        listener->finish(status == EXIT_OK, page_text);
    return status;
}

namespace {

std::string first_line(const std::string &text) {
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    return line.size() > 300 ? line.substr(0, 300) + "..." : line;
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

// Reads one pasted line from stdin, waiting until the deadline (late says
// which limit that is) or Ctrl-C.
bool read_pasted(const wait_limit &limit, std::string *line, failure *f) {
    line->clear();
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        limit.deadline - std::chrono::steady_clock::now())
                        .count();
        if (interrupted()) {
            *f = {EXIT_INTERRUPTED, "interrupted"};
            return false;
        }
        if (left <= 0) {
            *f = {EXIT_OTHER, "no address was pasted " + limit.late};
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

} // namespace
} // namespace login
} // namespace cli
