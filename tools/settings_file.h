// The settings file: found, read with a permission check, and updated in
// place (atomically) with what a validation tells us to keep.
#ifndef NIMBUS_TOOLS_SETTINGS_FILE_H
#define NIMBUS_TOOLS_SETTINGS_FILE_H

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace cli {

// $XDG_CONFIG_HOME/nimbus/settings.json, else ~/.config/nimbus/settings.json.
std::string default_settings_path();

// Which file a read found, so that a later store can tell whether the name
// still refers to it.
struct file_identity {
    dev_t dev = 0;
    ino_t ino = 0;
};

// Reads the file. Refuses one that group or other users may read or change
// (it holds a client secret and a refresh token), naming the chmod that fixes it.
bool read_settings(const std::string &path, std::string *text, std::string *error,
                   file_identity *identity = nullptr);

// One member to store: key and string value.
using member = std::pair<std::string, std::string>;

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

// Replaces the file with text: a temporary file in the same folder, mode
// 0600, written, fsynced, renamed over the original, folder fsynced.
bool replace_file(const std::string &path, const std::string &text, std::string *error);

// The one locked read-merge-write of the settings file: under an exclusive
// lock, re-reads the current file, merges updates into it (every other member
// kept) and replaces it atomically. With expected set, refuses when the name
// no longer refers to that file; without it, a missing file (and folder) is
// created from "{}".
bool store_members(const std::string &path, const std::vector<member> &updates,
                   const file_identity *expected, std::string *error);

} // namespace cli

#endif
