// The device's UUID, kept in a file so that control points see the same
// server across restarts.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dlna.h"

namespace dlna {

namespace {

// 0: read; ENOENT: no file; another errno: cannot read; -1: not a UUID.
int read_uuid(const std::string &file, std::string &uuid) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno;
    struct stat st;
    char buf[64];
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = ::read(fd, buf, sizeof buf);
    int saved = errno;
    ::close(fd);
    if (n < 0)
        return saved ? saved : EINVAL;
    std::string text(buf, static_cast<size_t>(n));
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!uuid_well_formed(text))
        return -1;
    uuid = text;
    return 0;
}

std::string random_uuid() {
    unsigned char b[16];
    size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::string();
        got += static_cast<size_t>(n);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[b[i] >> 4];
        out += hex[b[i] & 15];
    }
    return out;
}

} // namespace

bool uuid_well_formed(const std::string &u) {
    if (u.size() != 36)
        return false;
    for (size_t i = 0; i < u.size(); i++) {
        char c = u[i];
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool load_uuid(const std::string &file, std::string &uuid, std::string &error) {
    if (file.empty()) { // nowhere to keep it: one for this run
        uuid = random_uuid();
        return !uuid.empty() || (error = "no random bytes for a device UUID", false);
    }
    int rc = read_uuid(file, uuid);
    if (rc == 0)
        return true;
    if (rc == -1)
        return error = "not a device UUID: " + file, false;
    if (rc != ENOENT)
        return error = "cannot read " + file + ": " + std::strerror(rc), false;

    std::string made = random_uuid();
    if (made.empty())
        return error = "no random bytes for a device UUID", false;
    std::string tmp = file + ".XXXXXX";
    int fd = ::mkstemp(&tmp[0]); // mode 600
    if (fd < 0)
        return error = "cannot write beside " + file + ": " + std::strerror(errno), false;
    std::string text = made + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    // link() never replaces: when another starter won the race, use its UUID.
    int linked = ok ? ::link(tmp.c_str(), file.c_str()) : -1;
    int saved = errno;
    ::unlink(tmp.c_str());
    if (!ok)
        return error = "cannot write " + tmp, false;
    if (linked != 0 && saved != EEXIST)
        return error = "cannot make " + file + ": " + std::strerror(saved), false;
    rc = read_uuid(file, uuid);
    if (rc == 0)
        return true;
    return error = rc == -1 ? "not a device UUID: " + file : "cannot read " + file, false;
}

} // namespace dlna
