// The application a sign-in is for: the client id and how its secret (if
// any) is found.
#include "login/client.h"

#include "fd_guard.h"
#include "json_doc.h"
#include "output.h"
#include "settings_file.h"
#include "text.h"

#include <nimbus.h>
#include <yyjson.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace cli {
namespace login {
namespace {

constexpr size_t kMaxSecret = 4096;

bool read_secret_file(const std::string &path, std::string *secret, failure *f);
bool prompt_secret(std::string *secret);
bool stored_public(const std::string &settings);
bool tidy_secret(std::string *secret, failure *f);

} // namespace

std::string client::settings() const {
    std::string s = "{\"ClientId\":" + json_string(id);
    s += is_public ? ",\"PublicClient\":true" : ",\"ClientSecret\":" + json_string(secret);
    if (!scope.empty())
        s += ",\"scope\":" + json_string(scope);
    if (!cloud.empty())
        s += ",\"Cloud\":" + json_string(cloud);
    if (national())
        s += ",\"RuntimeType\":\"ONEDRIVEB\"";
    return s + "}";
}

bool client_of(const options &o, const std::string &existing, client *c, failure *f,
               bool may_prompt) {
    c->id = o.client_id.empty() ? settings_value(existing, "ClientId") : o.client_id;
    if (c->id.empty()) {
        *f = {EXIT_USAGE, "login needs --client-id ID: the application (client) ID of your app "
                          "registration (see nimbus help login)"};
        return false;
    }
    if (c->id.size() > 256 || has_control(c->id)) {
        *f = {EXIT_USAGE, "--client-id is not an application id"};
        return false;
    }
    c->scope = !o.scope.empty() ? o.scope : settings_value(existing, "scope");
    if (c->scope.size() > 512 || has_control(c->scope)) {
        *f = {EXIT_USAGE, "the scope is not one line of at most 512 bytes"};
        return false;
    }
    // The library knows the clouds: a name it refuses for a work account is
    // not one of them.
    c->cloud = !o.cloud.empty() ? o.cloud : settings_value(existing, "Cloud");
    if (!c->cloud.empty() &&
        !nimbus_drive_base(
            ("{\"RuntimeType\":\"ONEDRIVEB\",\"Cloud\":" + json_string(c->cloud) + "}").c_str())) {
        *f = o.cloud.empty()
                 ? failure{EXIT_SETTINGS, std::string("the settings' ") + nimbus_last_error()}
                 : failure{EXIT_USAGE, std::string("--cloud: ") + nimbus_last_error()};
        return false;
    }
    bool same_client = settings_value(existing, "ClientId") == c->id;
    c->is_public = false;
    c->secret.clear();
    if (o.public_client) {
        if (!o.client_secret_file.empty()) {
            *f = {EXIT_USAGE, "--public signs in without a client secret: drop "
                              "--client-secret-file"};
            return false;
        }
        c->is_public = true;
        return true;
    }
    if (!o.client_secret_file.empty()) {
        if (!read_secret_file(o.client_secret_file, &c->secret, f))
            return false;
        return tidy_secret(&c->secret, f);
    }
    if (const char *env = std::getenv("NIMBUS_CLIENT_SECRET")) {
        c->secret = env;
        return tidy_secret(&c->secret, f);
    }
    if (same_client && stored_public(existing)) {
        c->is_public = true;
        return true;
    }
    if (same_client && !settings_value(existing, "ClientSecret").empty()) {
        c->secret = settings_value(existing, "ClientSecret");
        return tidy_secret(&c->secret, f);
    }
    // Someone at a terminal is asked; anything else signs in as a public
    // client, as does an empty answer.
    if (may_prompt && isatty(STDIN_FILENO) && prompt_secret(&c->secret)) {
        size_t end = c->secret.find_last_not_of(" \t\r\n");
        c->secret.resize(end == std::string::npos ? 0 : end + 1);
        if (!c->secret.empty())
            return tidy_secret(&c->secret, f);
    }
    c->secret.clear();
    c->is_public = true;
    return true;
}

namespace {

bool read_secret_file(const std::string &path, std::string *secret, failure *f) {
    fd_guard fd;
    fd.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *f = {EXIT_USAGE, "cannot read the client secret from " + path +
                              (fd.fd < 0 ? std::string(": ") + std::strerror(errno)
                                         : std::string(": not a regular file"))};
        return false;
    }
    char buf[kMaxSecret + 1];
    ssize_t n = read(fd.fd, buf, sizeof buf);
    if (n < 0 || static_cast<size_t>(n) > kMaxSecret) {
        *f = {EXIT_USAGE,
              "cannot read the client secret from " + path +
                  (n < 0 ? ": " + std::string(std::strerror(errno)) : ": longer than 4 KiB")};
        return false;
    }
    secret->assign(buf, static_cast<size_t>(n));
    return true;
}

volatile sig_atomic_t g_tty_fd = -1;
termios g_tty_before;

void restore_echo(int sig) {
    if (g_tty_fd >= 0)
        tcsetattr(g_tty_fd, TCSAFLUSH, &g_tty_before);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Asks on the terminal without echo; false when there is none to ask on.
bool prompt_secret(std::string *secret) {
    fd_guard tty;
    tty.fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    termios before{};
    if (tty.fd < 0 || tcgetattr(tty.fd, &before) != 0)
        return false;
    const char prompt[] = "client secret (not shown; Enter for none: a public client): ";
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
    return true;
}

bool stored_public(const std::string &settings) {
    doc_ptr doc = read_json(settings);
    yyjson_val *v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "PublicClient") : nullptr;
    return yyjson_is_true(v);
}

// Trims white space around the secret and checks it is one line of text.
bool tidy_secret(std::string *secret, failure *f) {
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

} // namespace
} // namespace login
} // namespace cli
