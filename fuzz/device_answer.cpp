// The device authorization answer: nimbus_parse_device on any bytes. What it
// keeps is bounded, free of control characters (the message made one line)
// and addressed over https; a refusal keeps nothing.
#include <cstdint>
#include <cstring>

#include "auth/auth.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    nimbus_device dev{};
    char msg[NIMBUS_MSG_SIZE] = "";
    int rc = nimbus_parse_device(reinterpret_cast<const char *>(data), size, &dev, msg, sizeof msg);
    auto clean = [](const char *text, size_t max) {
        CHECK(text && text[0] && std::strlen(text) <= max);
        for (const char *p = text; *p; p++)
            CHECK(static_cast<unsigned char>(*p) >= 0x20 && *p != 0x7F);
    };
    if (rc == NIMBUS_OK) {
        clean(dev.device_code, NIMBUS_TOKEN_MAX);
        clean(dev.user_code, 128);
        clean(dev.verification_uri, 2048);
        CHECK(std::strncmp(dev.verification_uri, "https://", 8) == 0);
        clean(dev.message, 2048 + 128 + 64); // the service's, or one made of the two above
        CHECK(dev.expires_in >= 1 && dev.expires_in <= 86400);
        CHECK(dev.interval >= 1 && dev.interval <= 600);
        CHECK(msg[0] == '\0');
    } else {
        CHECK(rc == NIMBUS_E_FAILED || rc == NIMBUS_E_NOMEM);
        CHECK(msg[0] && !dev.device_code && !dev.user_code && !dev.verification_uri &&
              !dev.message && dev.expires_in == 0);
    }
    nimbus_device_free(&dev);
    return 0;
}
