// The settings file: found, read with a permission check, and updated in
// place (atomically, under a lock) with what the service tells us to keep.
#ifndef NIMBUS_TOOLS_SETTINGS_FILE_H
#define NIMBUS_TOOLS_SETTINGS_FILE_H

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace cli {

// $XDG_CONFIG_HOME/nimbus/settings.json, else ~/.config/nimbus/settings.json.
std::string default_settings_path();

// Which file a text was read from, so that a later write can tell whether
// the name still refers to it.
struct file_identity {
    dev_t dev = 0;
    ino_t ino = 0;
};

// Reads the file (without blocking on a FIFO or device: anything but a
// regular file is refused). Refuses one that group or other users may read or
// change (it holds a client secret and a refresh token), naming the chmod that
// fixes it. identity, when given, receives the file's device and inode.
bool read_settings(const std::string &path, std::string *text, std::string *error,
                   file_identity *identity = nullptr);

// Reads at most max bytes of a file that holds secrets (what `holds` says),
// refusing anything but a regular file (without blocking on a FIFO or device)
// and a file that group or other users may use, naming the chmod that fixes
// it. `kind` names the file in messages ("settings file"). identity, when
// given, receives the file's device and inode.
bool read_private_file(const std::string &path, const char *kind, const char *holds, size_t max,
                       std::string *text, std::string *error, file_identity *identity = nullptr);

// One member to store: key and string value.
using member = std::pair<std::string, std::string>;
// Values of a member that are no text (no text holds a control character):
// the JSON literal true, and the member's removal (every occurrence).
extern const char *const kSettingTrue;
extern const char *const kSettingRemove;

// The settings key a rotated refresh token belongs under: the member the
// library reads the token from ("refresh_token" first, else "RefreshToken"),
// or answer_key when the settings hold neither.
std::string refresh_token_key(const std::string &settings, const std::string &answer_key);

// The current string value of key (first member), or "" when absent.
std::string settings_value(const std::string &settings, const std::string &key);

// Rewrites the settings text with each member's first occurrence replaced
// (or the member appended), every other member kept in place and value.
bool merge_members(const std::string &settings, const std::vector<member> &updates,
                   std::string *merged, std::string *error);

// How long a writer waits for the lock another process holds: until the
// command's --max-time runs out (max_time_s seconds from started; 0: no such
// limit) and never longer than kLockWaitSeconds, since a write holds the lock
// for milliseconds and a lock file in a shared folder may be held by anyone.
// Ctrl-C (see interrupted()) ends the wait at once.
constexpr int kLockWaitSeconds = 30;
struct lock_wait {
    double max_time_s = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// The one way the settings file is written: a locked read-merge-write.
//
// The folder is opened once and everything else happens relative to it. An
// exclusive flock on the lock file beside the settings ("settings.json.lock",
// mode 0600, left in place) is held from the re-read to the rename, so two
// commands never lose each other's update. The current file is re-read and
// updates are merged into it (every other member kept); the result goes to a
// temporary file (mode 0600, owner and group of the file it replaces), which
// is fsynced and renamed over the name, and the folder is fsynced.
//
// With expected, the write is refused unless the name (a symbolic link there
// is resolved once, before the folder is opened) is a regular file that is
// the inode read, or the file the last locked write left there (its device
// and inode are recorded in the lock file), so concurrent writers all land.
// Without expected, a missing file is created from "{}" (and a missing
// folder with mode 0700). Run as root, the file keeps its owner and group (a
// new one gets the folder's), and so does the lock file. The lock is waited
// for as `wait` says.
bool store_members(const std::string &path, const std::vector<member> &updates,
                   const file_identity *expected, std::string *error,
                   const lock_wait &wait = lock_wait());

} // namespace cli

#endif
