// Capability URLs: HMAC-SHA256 under a key derived from the gateway's
// secret, over one drive path and an expiry.
#include "serve/capability.h"

#include "text.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <string.h> // explicit_bzero

namespace cli {
namespace {

// The key is the HMAC of this label under the secret: the secret itself
// never keys anything that a client sees the output of, and a later kind of
// token gets a label (and so a key) of its own.
const char kLabel[] = "nimbus serve: file capability key, version 1";

constexpr size_t kMacText = 43; // 32 bytes in unpadded base64url
constexpr size_t kMaxExpiryDigits = 11;

bool base64url_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

} // namespace

bool parse_capability(const char *raw, long long *expiry, std::string *mac) {
    if (!raw)
        return false;
    const char *dot = std::strchr(raw, '.');
    size_t digits = dot ? static_cast<size_t>(dot - raw) : 0;
    if (digits == 0 || digits > kMaxExpiryDigits || raw[0] == '0')
        return false;
    long long e = 0;
    for (size_t i = 0; i < digits; i++) {
        if (raw[i] < '0' || raw[i] > '9')
            return false;
        e = e * 10 + (raw[i] - '0');
    }
    const char *m = dot + 1;
    size_t n = 0;
    while (n <= kMacText && m[n] && base64url_char(m[n]))
        n++;
    if (n != kMacText || m[n])
        return false;
    *expiry = e;
    mac->assign(m, n);
    return true;
}

capability_key::capability_key(const std::string &secret) {
    if (secret.empty())
        return;
    unsigned len = 0;
    enabled_ = HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
                    reinterpret_cast<const unsigned char *>(kLabel), sizeof kLabel - 1, key_,
                    &len) != nullptr &&
               len == sizeof key_;
}

capability_key::~capability_key() {
    explicit_bzero(key_, sizeof key_);
}

// Over the expiry in decimal, a NUL, and the path: a drive path holds no
// NUL, so no two (path, expiry) pairs give the same bytes. A cover's puts
// "cover" and a NUL before the path: a path begins with "/", so no file's
// message is a cover's.
std::string capability_key::mac_of(const std::string &path, long long expiry,
                                   capability_scope scope) const {
    std::string message = std::to_string(expiry);
    message += '\0';
    if (scope == capability_scope::cover) {
        message += "cover";
        message += '\0';
    }
    message += path;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (!HMAC(EVP_sha256(), key_, sizeof key_,
              reinterpret_cast<const unsigned char *>(message.data()), message.size(), mac, &len) ||
        len != 32)
        return std::string();
    return base64url(mac, len);
}

std::string capability_key::suffix(const std::string &path, long long now,
                                   capability_scope scope) const {
    if (!enabled_)
        return std::string();
    long long expiry =
        (now + kCapabilityLife + kCapabilityStep - 1) / kCapabilityStep * kCapabilityStep;
    std::string mac = mac_of(path, expiry, scope);
    if (mac.empty())
        return std::string();
    return "c=" + std::to_string(expiry) + "." + mac;
}

bool capability_key::allows(const std::string &path, const char *raw, long long now,
                            capability_scope scope) const {
    long long expiry = 0;
    std::string given;
    if (!enabled_ || !parse_capability(raw, &expiry, &given) || now > expiry)
        return false;
    std::string want = mac_of(path, expiry, scope);
    return !want.empty() && same_secret(given, want);
}

} // namespace cli
