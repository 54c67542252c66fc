// Sign-in grants named by the host: nimbus_signin_read on any bytes. A
// grant read is a well-formed form whose secrets are all kept for masking;
// a prepared step carries only percent-encoded values (the authorize
// address) or nothing (the device authorization).
#include <cstdint>
#include <cstring>
#include <string>

#include "auth/auth.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    nimbus_signin signin{};
    char msg[NIMBUS_MSG_SIZE] = "";
    int rc = nimbus_signin_read(text.c_str(), &signin, msg, sizeof msg);
    auto encoded = [](const char *text) {
        for (const char *p = text; p && *p; p++)
            CHECK(*p > 0x20 && *p < 0x7F && *p != '#' && *p != '+' && *p != '"');
    };
    if (rc == NIMBUS_OK && signin.step == NIMBUS_SIGNIN_DEVICE) {
        CHECK(signin.device && !signin.form.data && !signin.query.data && !signin.secrets[0]);
    } else if (rc == NIMBUS_OK && signin.step == NIMBUS_SIGNIN_AUTHORIZE) {
        CHECK(signin.form.data && std::strncmp(signin.form.data, "&response_type=code&", 20) == 0);
        encoded(signin.form.data);
        encoded(signin.query.data);
        CHECK(std::strlen(signin.secrets[0]) == 43 && signin.secrets[1] && signin.secrets[1][0]);
        CHECK(std::strstr(signin.query.data, "&code_challenge_method=S256&") != nullptr);
    } else if (rc == NIMBUS_OK) {
        const char *form = signin.form.data;
        CHECK(form && std::strncmp(form, "grant_type=", 11) == 0);
        // Form-encoded: no byte that would break the form or a header.
        for (const char *p = form; *p; p++)
            CHECK(*p > 0x20 && *p < 0x7F && *p != '#' && *p != '+');
        CHECK(signin.secrets[0] && signin.secrets[0][0]);
        CHECK(std::strlen(signin.secrets[0]) <= NIMBUS_TOKEN_MAX);
        CHECK(signin.device == (std::strstr(form, "device_code=") != nullptr));
    } else {
        CHECK(rc == NIMBUS_E_INVALID || rc == NIMBUS_E_NOMEM);
        CHECK(msg[0] && !signin.form.data && !signin.secrets[0] && !signin.secrets[1]);
    }
    nimbus_signin_free(&signin);
    return 0;
}
