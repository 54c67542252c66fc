// Capability URLs of `nimbus serve`: a query parameter that lets whoever
// holds it read the bytes of one file for a while, so that the URLs the
// gateway hands to players (DLNA res URLs, playlist entries, subtitles, album
// art) never carry the gateway's secret. A file's capability opens its bytes;
// a cover's opens the cover of one file or folder (?cover=) and nothing else.
//
// A capability is "c=EXPIRY.MAC": EXPIRY the last second (Unix time) it is
// good for, MAC the unpadded base64url HMAC-SHA256 of the decoded drive path
// and the expiry, under a key derived from the secret. Nothing is kept: a
// capability survives a restart with the same secret and dies when the
// secret changes.
#ifndef NIMBUS_TOOLS_SERVE_CAPABILITY_H
#define NIMBUS_TOOLS_SERVE_CAPABILITY_H

#include <cstddef>
#include <string>

namespace cli {

// How long a capability lives: 24 hours, its expiry rounded up to the next
// whole hour so that the same file keeps the same URL for an hour (a TV
// that compares a new Browse answer with the one it keeps sees no change).
// Control points browse again whenever the user enters a folder, and the
// server's SSDP announcements live 30 minutes, but a TV keeps a folder's
// answer for as long as the user stays in it, and a film paused in the
// evening is resumed from the same URL the next day; "recently played"
// lists that keep URLs for longer get 401 and the user browses again. A
// capability that leaks gives that one file, read-only, for a day at most.
constexpr long long kCapabilityLife = 24 * 3600;
constexpr long long kCapabilityStep = 3600;

// The longest c value: 11 digits of expiry (a year past 5000), a dot and
// 43 characters of MAC.
constexpr size_t kMaxCapability = 11 + 1 + 43;

// Reads a c value as it arrives in the query (no escapes are needed, none
// are taken): EXPIRY in decimal digits without a leading zero, at most 11,
// then "." and 43 base64url characters. False for anything else.
bool parse_capability(const char *raw, long long *expiry, std::string *mac);

// What a capability opens: a file's bytes, or a file's or folder's cover.
enum class capability_scope { file, cover };

class capability_key {
  public:
    // An empty secret gives no key: nothing to protect, no capability made
    // or taken.
    explicit capability_key(const std::string &secret = std::string());
    ~capability_key();
    capability_key(const capability_key &) = delete;
    capability_key &operator=(const capability_key &) = delete;

    bool enabled() const { return enabled_; }

    // "c=EXPIRY.MAC" for PATH (decoded, as a request names it), good from
    // NOW for kCapabilityLife seconds and up to kCapabilityStep more; to be
    // joined to the file's URL with "?" or "&". "" without a key.
    std::string suffix(const std::string &path, long long now,
                       capability_scope scope = capability_scope::file) const;

    // Whether RAW (the c value as it arrives) is a capability for exactly
    // PATH that has not expired at NOW: the expiry is its last good second.
    // The MAC is compared in constant time.
    bool allows(const std::string &path, const char *raw, long long now,
                capability_scope scope = capability_scope::file) const;

  private:
    std::string mac_of(const std::string &path, long long expiry, capability_scope scope) const;

    unsigned char key_[32] = {};
    bool enabled_ = false;
};

} // namespace cli

#endif
