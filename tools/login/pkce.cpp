// The secrets of one sign-in: random texts and the PKCE S256 challenge.
#include "login/pkce.h"
#include "text.h"

#include <openssl/evp.h>

#include <cerrno>
#include <sys/random.h>

namespace cli {
namespace login {

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
