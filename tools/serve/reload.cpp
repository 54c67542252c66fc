// The settings file as a running gateway sees it (see reload.h).
#include "serve/reload.h"

#include "json_doc.h"
#include "output.h"
#include "settings_file.h"

#include <nimbus.h>
#include <yyjson.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace cli {
namespace {

constexpr char kRestartListener[] = "NIMBUS_SERVE_RESTART_FD";

// A transport that is never called: nimbus_drive_open makes no request, and
// the handle is closed at once.
int no_get(void *, const char *, char **, int32_t *, char **) {
    return NIMBUS_E_INVALID;
}
int no_post(void *, const char *, const char *, const char *, char **, int32_t *, char **) {
    return NIMBUS_E_INVALID;
}

bool is_object(const std::string &text) {
    doc_ptr doc = read_json(text);
    return doc && yyjson_is_obj(yyjson_doc_get_root(doc.get()));
}

// The settings without their refresh token: what two texts must share to
// be the same sign-in of the same application.
std::string without_token(const std::string &settings) {
    std::string out;
    std::string error;
    if (!merge_members(settings, {{refresh_token_key(settings, "refresh_token"), kSettingRemove}},
                       &out, &error))
        return settings;
    return out;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

file_stamp stamp_of(const std::string &path) {
    file_stamp s;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return s;
    s.present = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

bool same_stamp(const file_stamp &a, const file_stamp &b) {
    if (!a.present || !b.present)
        return a.present == b.present;
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && same_time(a.mtime, b.mtime) &&
           same_time(a.ctime, b.ctime);
}

settings_change compare_settings(const std::string &running, const std::string &now,
                                 const std::function<bool(const std::string &)> &own,
                                 std::string *why) {
    if (!is_object(now)) {
        *why = "is not a JSON object";
        return settings_change::invalid;
    }
    std::string token = settings_value(now, refresh_token_key(now, "refresh_token"));
    if (token.empty()) {
        *why = "holds no refresh token";
        return running.empty() ? settings_change::same : settings_change::signed_out;
    }
    nimbus_io io{};
    io.get = no_get;
    io.post = no_post;
    nimbus_drive *drive = nullptr;
    int rc = nimbus_drive_open(now.c_str(), &io, &drive);
    nimbus_drive_close(drive);
    if (rc != NIMBUS_OK) {
        *why = nimbus_last_error();
        return settings_change::invalid;
    }
    if (running.empty() || without_token(running) != without_token(now))
        return settings_change::new_account;
    return own(token) ? settings_change::same : settings_change::new_token;
}

int inherited_listener(const listen_address &addr) {
    const char *s = std::getenv(kRestartListener);
    char *end = nullptr;
    long fd = s ? std::strtol(s, &end, 10) : -1;
    bool given = s && *s && !*end && fd > 2 && fd < 65536;
    unsetenv(kRestartListener);
    if (!given)
        return -1;
    int listening = 0;
    socklen_t n = sizeof listening;
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    int family = addr.is_v6 ? AF_INET6 : AF_INET;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &n) != 0 ||
        !listening ||
        getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&bound), &size) != 0 ||
        bound.ss_family != family)
        return -1;
    uint16_t port = family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                       : reinterpret_cast<sockaddr_in *>(&bound)->sin_port;
    if (port_of(addr) != 0 && ntohs(port) != port_of(addr))
        return -1;
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC); // nothing this run starts inherits it
    return static_cast<int>(fd);
}

bool hand_over_listener(int fd) {
    if (fd < 0 || fcntl(fd, F_SETFD, 0) != 0)
        return false;
    return setenv(kRestartListener, std::to_string(fd).c_str(), 1) == 0;
}

// Whether the gateway starts signed out, serving its sign-in page: there
// is no settings file yet, or one that holds no refresh token. A file that
// could not take a sign-in either (unreadable, open to others, no JSON
// object) is reported by the context's open as before. *running receives
// the text it read, and *stamp what stat said before that.
bool starts_signed_out(const options &o, std::string *running, file_stamp *stamp) {
    if (o.demo)
        return false;
    std::string path = o.settings_path.empty() ? default_settings_path() : o.settings_path;
    *stamp = stamp_of(path);
    std::string error;
    if (!stamp->present)
        return access(path.c_str(), F_OK) != 0 && errno == ENOENT;
    if (!read_settings(path, running, &error))
        return false;
    std::string why;
    return compare_settings(
               "", *running, [](const std::string &) { return false; }, &why) ==
               settings_change::same &&
           why == "holds no refresh token";
}

bool settings_watch::take_new(bool asked, const std::function<bool(const std::string &)> &own,
                              bool signed_out, bool idle) {
    file_stamp now = stamp_of(path_);
    if (!asked && same_stamp(now, stamp_))
        return false;
    std::string text, why;
    settings_change what = settings_change::invalid;
    if (!now.present)
        why = "is gone";
    else if (!read_settings(path_, &text, &why))
        why = "cannot be read: " + why;
    else
        what = compare_settings(running_, text, own, &why);
    if (what == settings_change::invalid) {
        if (asked || !same_stamp(now, told_))
            std::fprintf(stderr,
                         "nimbus: serve: the settings file %s %s: keeping the "
                         "settings in use\n",
                         printable(path_).c_str(), printable(why).c_str());
        told_ = now;
        stamp_ = now;
        return false;
    }
    if (what == settings_change::new_token && !asked && !signed_out && !idle)
        return false; // looked at again next time: the stamp stays
    stamp_ = now;
    if (what == settings_change::same) {
        if (asked)
            std::fprintf(stderr,
                         "nimbus: serve: the settings file %s holds the settings "
                         "in use\n",
                         printable(path_).c_str());
        return false;
    }
    if (what == settings_change::signed_out)
        std::fprintf(stderr,
                     "nimbus: the settings file %s holds no sign-in any more: starting "
                     "again signed out\n",
                     printable(path_).c_str());
    else
        std::fprintf(stderr, "nimbus: new settings in %s: starting again\n",
                     printable(path_).c_str());
    return true;
}

} // namespace cli
