// The secrets of one sign-in: random texts and the PKCE S256 challenge.
#include "login/pkce.h"

#include <openssl/evp.h>

#include <cerrno>
#include <sys/random.h>

namespace cli {
namespace login {

std::string base64url(const unsigned char *data, size_t len) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (size_t i = 0; i < len; i += 3) {
        unsigned v = static_cast<unsigned>(data[i]) << 16;
        if (i + 1 < len)
            v |= static_cast<unsigned>(data[i + 1]) << 8;
        if (i + 2 < len)
            v |= data[i + 2];
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        if (i + 1 < len)
            out += digits[(v >> 6) & 63];
        if (i + 2 < len)
            out += digits[v & 63];
    }
    return out;
}

bool random_text(size_t bytes, std::string *out) {
    unsigned char buf[64];
    if (bytes > sizeof buf)
        return false;
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = getrandom(buf + done, bytes - done, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    *out = base64url(buf, bytes);
    return true;
}

bool challenge_of(const std::string &verifier, std::string *out) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(verifier.data(), verifier.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        return false;
    *out = base64url(digest, len);
    return true;
}

} // namespace login
} // namespace cli
