// Settings file handling for the command.
#include "settings_file.h"

#include <yyjson.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace {

constexpr size_t kMaxSettings = (1u << 20) + 1; // the library refuses more than 1 MiB itself

struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0)
            close(fd);
    }
};

struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};

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
    fd_guard f;
    f.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (f.fd < 0) {
        *error = errno == ENOENT ? "no settings file at " + path +
                                       " (give one with --settings FILE, or try --demo)"
                                 : errno_text("cannot open the settings file " + path);
        return false;
    }
    struct stat st;
    if (fstat(f.fd, &st) != 0) {
        *error = errno_text("cannot inspect the settings file " + path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "the settings file " + path + " is not a regular file";
        return false;
    }
    // Checked on the open file, so a swap after the check cannot slip through.
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *error = "the settings file " + path + " is open to other users (mode " + mode +
                 "); it holds a client secret and a refresh token: run chmod 600 " + path;
        return false;
    }
    if (identity) {
        identity->dev = st.st_dev;
        identity->ino = st.st_ino;
    }
    text->clear();
    char chunk[65536];
    while (text->size() < kMaxSettings) {
        ssize_t n = read(f.fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno_text("cannot read the settings file " + path);
            return false;
        }
        if (n == 0)
            break;
        text->append(chunk, static_cast<size_t>(n));
    }
    if (text->size() > kMaxSettings)
        text->resize(kMaxSettings); // enough for the library to call it too large
    return true;
}

std::string settings_value(const std::string &settings, const std::string &key) {
    std::unique_ptr<yyjson_doc, doc_deleter> doc(yyjson_read(settings.data(), settings.size(), 0));
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

bool merge_members(const std::string &settings, const std::vector<member> &updates,
                   std::string *merged, std::string *error) {
    // Numbers stay raw so that they are written back exactly as they were.
    std::unique_ptr<yyjson_doc, doc_deleter> doc(
        yyjson_read(settings.data(), settings.size(), YYJSON_READ_NUMBER_AS_RAW));
    if (!doc || !yyjson_is_obj(yyjson_doc_get_root(doc.get()))) {
        *error = "the settings file is not a JSON object";
        return false;
    }
    std::unique_ptr<yyjson_mut_doc, doc_deleter> mut(yyjson_doc_mut_copy(doc.get(), nullptr));
    yyjson_mut_val *root = mut ? yyjson_mut_doc_get_root(mut.get()) : nullptr;
    if (!root) {
        *error = "out of memory";
        return false;
    }
    for (const member &m : updates) {
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
        if (val) {
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

bool replace_file(const std::string &path, const std::string &text, std::string *error) {
    // Write where the data lives: through a symbolic link to its target.
    char resolved[PATH_MAX];
    std::string target = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    std::string dir = folder_of(target);
    std::string base =
        target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    std::string tmp = dir + "/." + base + ".XXXXXX";

    fd_guard f;
    f.fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (f.fd < 0) {
        *error = errno_text("cannot create a temporary file in " + dir);
        return false;
    }
    auto give_up = [&](const std::string &what) {
        *error = errno_text(what);
        close(f.fd);
        f.fd = -1;
        unlink(tmp.c_str());
        return false;
    };
    if (fchmod(f.fd, 0600) != 0)
        return give_up("cannot restrict " + tmp);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(f.fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return give_up("cannot write " + tmp);
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(f.fd) != 0)
        return give_up("cannot flush " + tmp);
    int fd = f.fd;
    f.fd = -1;
    if (close(fd) != 0) {
        *error = errno_text("cannot close " + tmp);
        unlink(tmp.c_str());
        return false;
    }
    if (rename(tmp.c_str(), target.c_str()) != 0) {
        *error = errno_text("cannot replace " + target);
        unlink(tmp.c_str());
        return false;
    }
    // Make the rename itself durable.
    fd_guard d;
    d.fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d.fd >= 0)
        fsync(d.fd);
    return true;
}

bool store_members(const std::string &path, const std::vector<member> &updates,
                   const file_identity *expected, std::string *error) {
    std::string dir = folder_of(path);
    if (!expected && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = errno_text("cannot create the folder " + dir);
        return false;
    }
    // The folder's lock serialises every read-merge-write of its settings.
    fd_guard d;
    d.fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d.fd < 0 || flock(d.fd, LOCK_EX) != 0) {
        *error = errno_text("cannot lock the folder " + dir);
        return false;
    }
    std::string current;
    file_identity now;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT && !expected) {
        current = "{}";
    } else if (!read_settings(path, &current, error, &now)) {
        return false;
    } else if (expected && (now.dev != expected->dev || now.ino != expected->ino)) {
        *error = "the settings file " + path + " was replaced meanwhile";
        return false;
    }
    std::string merged;
    return merge_members(current, updates, &merged, error) && replace_file(path, merged, error);
}

} // namespace cli
