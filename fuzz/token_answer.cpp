// Token answers from the token endpoint: nimbus_parse_token on any bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "auth/auth.h"

namespace {

// A token a host could write into a header or a settings line as it is.
bool printable(const char *s) {
    for (; *s; s++)
        if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7F)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    nimbus_token tok{};
    char msg[NIMBUS_MSG_SIZE];
    msg[0] = '\0';
    int rc = nimbus_parse_token(reinterpret_cast<const char *>(data), size, &tok, msg, sizeof msg);
    if (rc == NIMBUS_OK) {
        // A token answer: a non-empty access token within the limit, and a
        // rotated refresh token only when it is non-empty and within it too;
        // neither holds a control character.
        size_t n = tok.access_token ? std::strlen(tok.access_token) : 0;
        if (n == 0 || n > NIMBUS_TOKEN_MAX || !printable(tok.access_token))
            std::abort();
        if (tok.refresh_token) {
            size_t r = std::strlen(tok.refresh_token);
            if (r == 0 || r > NIMBUS_TOKEN_MAX || !printable(tok.refresh_token))
                std::abort();
        }
    } else {
        // A failure leaves the record empty and always says why.
        if (rc >= 0 || tok.access_token || tok.refresh_token || tok.expires_in != 0 || !msg[0])
            std::abort();
    }
    nimbus_token_free(&tok);
    return 0;
}
