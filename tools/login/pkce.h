// The secrets of one sign-in: random texts (state, code verifier, the
// one-time browser address) and the PKCE S256 code challenge.
#ifndef NIMBUS_TOOLS_LOGIN_PKCE_H
#define NIMBUS_TOOLS_LOGIN_PKCE_H

#include <cstddef>
#include <string>

namespace cli {
namespace login {

// bytes random bytes from the kernel, base64url-encoded; false when the
// random source failed.
bool random_text(size_t bytes, std::string *out);
// The S256 code challenge: base64url(SHA-256(verifier)), unpadded.
bool challenge_of(const std::string &verifier, std::string *out);

} // namespace login
} // namespace cli

#endif
