// Settings file handling for the command.
#include "settings_file.h"

#include "fd_guard.h"

#include "json_doc.h"
#include "signals.h"

#include <yyjson.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace cli {
namespace {

constexpr size_t kMaxSettings = (1u << 20) + 1; // the library refuses more than 1 MiB itself

std::string errno_text(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

// A member's value as the library takes it: strings, integers and booleans
// give text, everything else counts as absent; blanks around it are trimmed.
std::string value_text(yyjson_val *v) {
    std::string s;
    if (yyjson_is_str(v))
        s.assign(yyjson_get_str(v), yyjson_get_len(v));
    else if (yyjson_is_sint(v))
        s = std::to_string(yyjson_get_sint(v));
    else if (yyjson_is_uint(v))
        s = std::to_string(static_cast<long long>(yyjson_get_uint(v)));
    else if (yyjson_is_bool(v))
        s = yyjson_get_bool(v) ? "true" : "false";
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Reads up to max bytes; the rest of a longer file is left unread.
bool read_all(int fd, size_t max, std::string *text) {
    text->clear();
    char chunk[65536];
    while (text->size() < max) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        text->append(chunk, static_cast<size_t>(n));
    }
    if (text->size() > max)
        text->resize(max);
    return true;
}

// mkdir -p with mode 0700 for what is missing.
bool make_folders(const std::string &dir, std::string *error) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return true;
    std::string parent = folder_of(dir);
    if (parent != dir && !make_folders(parent, error))
        return false;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = errno_text("cannot create the folder " + dir);
        return false;
    }
    return true;
}

// Whether name in the folder is (still) the file that was read, or the file
// the last locked write left there. On success with fd, the file stays open.
bool still_ours(int folder, const std::string &name, const std::string &lock_name,
                const file_identity &expected, const std::string &shown, int *fd,
                std::string *error) {
    fd_guard f;
    f.fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (f.fd < 0 || fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "the settings file " + shown + " is gone or no longer a regular file; not written";
        return false;
    }
    bool same = st.st_dev == expected.dev && st.st_ino == expected.ino;
    if (!same) {
        fd_guard l;
        l.fd = openat(folder, lock_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        char record[64] = {0};
        ssize_t n = l.fd >= 0 ? pread(l.fd, record, sizeof record - 1, 0) : -1;
        unsigned long long dev = 0, ino = 0;
        same = n > 0 && std::sscanf(record, "%llu %llu", &dev, &ino) == 2 && dev == st.st_dev &&
               ino == st.st_ino;
    }
    if (!same) {
        *error = "the settings file " + shown + " was replaced since it was read; not written";
        return false;
    }
    if (fd) {
        *fd = f.fd;
        f.fd = -1;
    }
    return true;
}

// Gives fd the owner and group of owner (a stat result) unless they are ours
// already. Only root can give a file away; the group is kept where the system
// lets us, and otherwise left as it comes.
bool keep_owner(int fd, const struct stat *owner) {
    if (!owner || (owner->st_uid == geteuid() && owner->st_gid == getegid()))
        return true;
    return fchown(fd, owner->st_uid, owner->st_gid) == 0 || owner->st_uid == geteuid();
}

// Leaves the identity of the file just written in the lock file, for a
// writer that read the file before this one replaced it. Without the record
// that writer refuses rather than writes, so a failure here is not one.
void record_identity(int lock, const file_identity &written) {
    char record[64];
    int n = std::snprintf(record, sizeof record, "%llu %llu\n",
                          static_cast<unsigned long long>(written.dev),
                          static_cast<unsigned long long>(written.ino));
    if (ftruncate(lock, 0) == 0) {
        ssize_t w = pwrite(lock, record, static_cast<size_t>(n), 0);
        (void)w;
    }
}

// Writes text to a fresh temporary file in the folder and renames it over
// name, with the owner and group of owner (see keep_owner).
bool write_replacement(int folder, const std::string &dir, const std::string &name,
                       const std::string &text, const struct stat *owner, file_identity *written,
                       std::string *error) {
    std::string tmp;
    fd_guard f;
    for (int attempt = 0; attempt < 100 && f.fd < 0; attempt++) {
        unsigned char random[6];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            *error = errno_text("cannot name a temporary file");
            return false;
        }
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%02x%02x%02x%02x%02x%02x", random[0], random[1],
                      random[2], random[3], random[4], random[5]);
        tmp = "." + name + "." + suffix;
        f.fd =
            openat(folder, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (f.fd < 0 && errno != EEXIST) {
            *error = errno_text("cannot create a temporary file in " + dir);
            return false;
        }
    }
    if (f.fd < 0) {
        *error = "cannot create a temporary file in " + dir;
        return false;
    }
    auto give_up = [&](const std::string &what) {
        *error = errno_text(what);
        close(f.fd);
        f.fd = -1;
        unlinkat(folder, tmp.c_str(), 0);
        return false;
    };
    const std::string shown = dir + "/" + tmp;
    if (fchmod(f.fd, 0600) != 0)
        return give_up("cannot restrict " + shown);
    if (!keep_owner(f.fd, owner))
        return give_up("cannot give " + shown + " to the settings file's owner");
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(f.fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return give_up("cannot write " + shown);
        }
        done += static_cast<size_t>(n);
    }
    struct stat st;
    if (fsync(f.fd) != 0 || fstat(f.fd, &st) != 0)
        return give_up("cannot flush " + shown);
    written->dev = st.st_dev;
    written->ino = st.st_ino;
    int fd = f.fd;
    f.fd = -1;
    if (close(fd) != 0) {
        *error = errno_text("cannot close " + shown);
        unlinkat(folder, tmp.c_str(), 0);
        return false;
    }
    if (renameat(folder, tmp.c_str(), folder, name.c_str()) != 0) {
        *error = errno_text("cannot replace " + dir + "/" + name);
        unlinkat(folder, tmp.c_str(), 0);
        return false;
    }
    fsync(folder); // makes the rename itself durable
    return true;
}

// An exclusive flock on fd, polled so that the wait ends at the limit of
// `wait` or at Ctrl-C instead of whenever the holder lets go.
bool take_lock(int fd, const std::string &lock_path, const lock_wait &wait, std::string *error) {
    using clock = std::chrono::steady_clock;
    clock::time_point end = clock::now() + std::chrono::seconds(kLockWaitSeconds);
    bool by_max_time = false;
    if (wait.max_time_s > 0) {
        clock::time_point limit =
            wait.started + std::chrono::duration_cast<clock::duration>(
                               std::chrono::duration<double>(wait.max_time_s));
        if (limit < end) {
            end = limit;
            by_max_time = true;
        }
    }
    std::chrono::nanoseconds pause = std::chrono::milliseconds(2);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *error = errno_text("cannot lock " + lock_path);
            return false;
        }
        if (interrupted()) {
            *error = "interrupted while waiting for the lock file " + lock_path;
            return false;
        }
        clock::time_point now = clock::now();
        if (now >= end) {
            char why[64];
            if (by_max_time)
                std::snprintf(why, sizeof why, "the --max-time of %g s ran out", wait.max_time_s);
            else
                std::snprintf(why, sizeof why, "gave up after %d s", kLockWaitSeconds);
            *error = "another process holds the lock file " + lock_path + ": " + why;
            return false;
        }
        std::chrono::nanoseconds left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(end - now);
        std::chrono::nanoseconds step = pause < left ? pause : left;
        timespec ts{static_cast<time_t>(step.count() / 1000000000),
                    static_cast<long>(step.count() % 1000000000)};
        nanosleep(&ts, nullptr); // Ctrl-C cuts it short; the loop looks again
        if (pause < std::chrono::milliseconds(50))
            pause *= 2;
    }
}

} // namespace

std::string default_settings_path() {
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/nimbus/settings.json";
    const char *home = std::getenv("HOME");
    return std::string(home && home[0] ? home : ".") + "/.config/nimbus/settings.json";
}

bool read_settings(const std::string &path, std::string *text, std::string *error,
                   file_identity *identity) {
    // Only chooses the message: the checks are made on the opened file.
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
        *error = "no settings file at " + path + " (give one with --settings FILE, or try --demo)";
        return false;
    }
    // The library refuses more than 1 MiB itself: reading one byte more is
    // enough for it to say so.
    return read_private_file(path, "settings file", "a client secret and a refresh token",
                             kMaxSettings, text, error, identity);
}

bool read_private_file(const std::string &path, const char *kind, const char *holds, size_t max,
                       std::string *text, std::string *error, file_identity *identity) {
    const std::string named = std::string("the ") + kind + " " + path;
    fd_guard f;
    // Non-blocking, so a FIFO or a device cannot hold the open.
    f.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (f.fd < 0) {
        *error = errno_text("cannot open " + named);
        return false;
    }
    struct stat st;
    if (fstat(f.fd, &st) != 0) {
        *error = errno_text("cannot inspect " + named);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = named + " is not a regular file";
        return false;
    }
    int flags = fcntl(f.fd, F_GETFL);
    if (flags < 0 || fcntl(f.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *error = errno_text("cannot read " + named);
        return false;
    }
    // Checked on the open file, so a swap after the check cannot slip through.
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *error = named + " is open to other users (mode " + mode + "); it holds " + holds +
                 ": run chmod 600 " + path;
        return false;
    }
    if (!read_all(f.fd, max, text)) {
        *error = errno_text("cannot read " + named);
        return false;
    }
    if (identity) {
        identity->dev = st.st_dev;
        identity->ino = st.st_ino;
    }
    return true;
}

std::string settings_value(const std::string &settings, const std::string &key) {
    doc_ptr doc = read_json(settings);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    return yyjson_is_obj(root) ? value_text(yyjson_obj_get(root, key.c_str())) : std::string();
}

std::string refresh_token_key(const std::string &settings, const std::string &answer_key) {
    if (!settings_value(settings, "refresh_token").empty())
        return "refresh_token";
    if (!settings_value(settings, "RefreshToken").empty())
        return "RefreshToken";
    return answer_key;
}

const char *const kSettingTrue = "\x01true";
const char *const kSettingRemove = "\x01remove";

bool merge_members(const std::string &settings, const std::vector<member> &updates,
                   std::string *merged, std::string *error) {
    // Numbers stay raw so that they are written back exactly as they were.
    doc_ptr doc(yyjson_read(settings.data(), settings.size(), YYJSON_READ_NUMBER_AS_RAW));
    if (!doc || !yyjson_is_obj(yyjson_doc_get_root(doc.get()))) {
        *error = "the settings file is not a JSON object";
        return false;
    }
    mut_doc_ptr mut(yyjson_doc_mut_copy(doc.get(), nullptr));
    yyjson_mut_val *root = mut ? yyjson_mut_doc_get_root(mut.get()) : nullptr;
    if (!root) {
        *error = "out of memory";
        return false;
    }
    for (const member &m : updates) {
        if (m.second == kSettingRemove) {
            yyjson_mut_obj_remove_keyn(root, m.first.data(), m.first.size());
            continue;
        }
        bool literal_true = m.second == kSettingTrue;
        yyjson_mut_val *val = nullptr;
        yyjson_mut_obj_iter iter;
        yyjson_mut_obj_iter_init(root, &iter);
        yyjson_mut_val *key;
        while ((key = yyjson_mut_obj_iter_next(&iter))) {
            if (yyjson_mut_equals_strn(key, m.first.data(), m.first.size())) {
                val = yyjson_mut_obj_iter_get_val(key);
                break;
            }
        }
        bool ok;
        if (literal_true && val) {
            yyjson_mut_set_bool(val, true);
            ok = true;
        } else if (literal_true) {
            ok = yyjson_mut_obj_add(root,
                                    yyjson_mut_strncpy(mut.get(), m.first.data(), m.first.size()),
                                    yyjson_mut_true(mut.get()));
        } else if (val) {
            yyjson_mut_val *copy = yyjson_mut_strncpy(mut.get(), m.second.data(), m.second.size());
            ok = copy && yyjson_mut_set_strn(val, yyjson_mut_get_str(copy), m.second.size());
        } else {
            ok = yyjson_mut_obj_add(
                root, yyjson_mut_strncpy(mut.get(), m.first.data(), m.first.size()),
                yyjson_mut_strncpy(mut.get(), m.second.data(), m.second.size()));
        }
        if (!ok) {
            *error = "out of memory";
            return false;
        }
    }
    size_t len = 0;
    yyjson_write_err werr;
    char *out = yyjson_mut_write_opts(mut.get(),
                                      YYJSON_WRITE_PRETTY_TWO_SPACES | YYJSON_WRITE_NEWLINE_AT_END,
                                      nullptr, &len, &werr);
    if (!out) {
        *error = std::string("cannot write the settings: ") + (werr.msg ? werr.msg : "unknown");
        return false;
    }
    merged->assign(out, len);
    std::free(out);
    return true;
}

bool store_members(const std::string &path, const std::vector<member> &updates,
                   const file_identity *expected, std::string *error, const lock_wait &wait) {
    // A symbolic link is followed once, here; from now on only the folder's
    // descriptor and the name in it are used.
    char resolved[PATH_MAX];
    std::string target = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    std::string dir = folder_of(target);
    std::string name =
        target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    if (name.empty() || name == "." || name == "..") {
        *error = "the settings path " + path + " names no file";
        return false;
    }
    if (!expected && !make_folders(dir, error))
        return false;
    fd_guard folder;
    folder.fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat folder_st;
    if (folder.fd < 0 || fstat(folder.fd, &folder_st) != 0) {
        *error = errno_text("cannot open the folder " + dir);
        return false;
    }
    const std::string lock_name = name + ".lock";
    const std::string lock_path = dir + "/" + lock_name;

    // Checked once before the lock file is made, so that a name that is not
    // (or no longer) the settings file read leaves nothing behind there.
    // When the lock file is there already, only the check under the lock
    // counts: another writer may hold it between its rename and the record
    // of what it wrote.
    struct stat named;
    if (!expected && fstatat(folder.fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(named.st_mode)) {
        *error = "the settings file " + target + " is not a regular file";
        return false;
    }
    if (expected && !still_ours(folder.fd, name, lock_name, *expected, target, nullptr, error) &&
        fstatat(folder.fd, lock_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return false;

    fd_guard lock;
    lock.fd = openat(folder.fd, lock_name.c_str(),
                     O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat lst;
    if (lock.fd < 0 || fstat(lock.fd, &lst) != 0) {
        *error = errno_text("cannot open the lock file " + lock_path);
        return false;
    }
    if (!S_ISREG(lst.st_mode)) {
        *error = "the lock file " + lock_path + " is not a regular file";
        return false;
    }
    // Made by root in someone else's folder, it must stay usable for them.
    struct stat owner;
    if (fstatat(folder.fd, name.c_str(), &owner, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(owner.st_mode))
        owner = folder_st;
    if (geteuid() == 0 && !keep_owner(lock.fd, &owner)) {
        *error = errno_text("cannot give the lock file " + lock_path + " to its owner");
        return false;
    }
    if (!take_lock(lock.fd, lock_path, wait, error))
        return false;

    // Under the lock: the current file, checked again and read afresh.
    fd_guard current;
    struct stat st {};
    if (expected) {
        if (!still_ours(folder.fd, name, lock_name, *expected, target, &current.fd, error))
            return false;
    } else {
        current.fd =
            openat(folder.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (current.fd < 0 && errno != ENOENT) {
            *error = errno_text("cannot open the settings file " + target);
            return false;
        }
    }
    std::string text = "{}";
    if (current.fd >= 0) {
        if (fstat(current.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = "the settings file " + target + " is not a regular file";
            return false;
        }
        if (!read_all(current.fd, kMaxSettings, &text) || text.size() > kMaxSettings - 1) {
            *error = text.size() > kMaxSettings - 1
                         ? "the settings file " + target + " is too large"
                         : errno_text("cannot read " + target);
            return false;
        }
    }
    std::string merged;
    if (!merge_members(text, updates, &merged, error))
        return false;

    // The file keeps its owner; a new one (made by root) gets the folder's.
    const struct stat *keep = current.fd >= 0 ? &st : geteuid() == 0 ? &folder_st : nullptr;
    file_identity written;
    if (!write_replacement(folder.fd, dir, name, merged, keep, &written, error))
        return false;
    record_identity(lock.fd, written);
    return true;
}

} // namespace cli
