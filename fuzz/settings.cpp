// The settings parser in strict and lenient mode: a parsed record is either
// filled by the rules or entirely empty with a known message that fits the
// message buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "text/text.h"

namespace {

const char *const messages[] = {"settings are NULL",
                                "settings are larger than 1 MiB",
                                "settings are not a JSON object",
                                "RuntimeType is not ONEDRIVE",
                                "ClientId is required",
                                "ClientId is longer than 256 bytes",
                                "ClientSecret is required",
                                "a refresh token (refresh_token or RefreshToken) is required",
                                "the refresh token is longer than 8 KiB",
                                "scope is longer than 512 bytes",
                                "Path is not a valid drive path",
                                "PageSize must be an integer from 1 to 1000",
                                "PublicClient must be true or false",
                                "WalkConcurrency must be an integer from 1 to 16",
                                "WalkMethod must be \"auto\", \"listing\" or \"changes\"",
                                "Metadata must be true or false",
                                "HeaderMarkers must be true or false",
                                "Cloud must be \"global\", \"usgov\", \"usgovdod\" or \"china\"",
                                ("Cloud must be \"global\" for a personal drive (RuntimeType "
                                 "ONEDRIVE)"),
                                "out of memory"};

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool trimmed(const char *s) {
    size_t n = std::strlen(s);
    return n > 0 && !blank(s[0]) && !blank(s[n - 1]);
}

bool empty(const nimbus_cfg &c) {
    return c.client_id == nullptr && c.client_secret == nullptr && c.refresh_token == nullptr &&
           c.scope == nullptr && c.path == nullptr && c.id == nullptr && c.business == 0 &&
           c.page_size == 0 && c.public_client == 0 && c.walk_threads == 0 && c.metadata == 0 &&
           c.walk_method == 0 && c.header_markers == 0 && c.cloud == NIMBUS_CLOUD_GLOBAL;
}

void check_one(const std::string &text, int strict, size_t msg_size) {
    std::vector<char> msg(msg_size + 16, 'Z');
    nimbus_cfg cfg{};
    int rc = nimbus_cfg_parse(text.c_str(), strict, &cfg, msg.data(), msg_size);
    for (size_t i = msg_size; i < msg.size(); i++)
        CHECK(msg[i] == 'Z');
    if (rc == NIMBUS_OK) {
        CHECK(cfg.client_id != nullptr && trimmed(cfg.client_id));
        CHECK(std::strlen(cfg.client_id) <= 256);
        // A public client may hold no secret; any other must hold one.
        CHECK(cfg.public_client == 0 || cfg.public_client == 1);
        CHECK(cfg.client_secret != nullptr ? trimmed(cfg.client_secret) : cfg.public_client == 1);
        CHECK(cfg.walk_threads == 0 || (cfg.walk_threads >= 1 && cfg.walk_threads <= 16));
        CHECK(cfg.walk_method >= NIMBUS_WALK_AUTO && cfg.walk_method <= NIMBUS_WALK_CHANGES);
        CHECK(cfg.metadata == 0 || cfg.metadata == 1);
        CHECK(cfg.header_markers == 0 || cfg.header_markers == 1);
        CHECK(!strict || cfg.refresh_token != nullptr);
        CHECK(cfg.refresh_token == nullptr ||
              (trimmed(cfg.refresh_token) && std::strlen(cfg.refresh_token) <= 8192));
        CHECK(cfg.scope == nullptr || (trimmed(cfg.scope) && std::strlen(cfg.scope) <= 512));
        if (cfg.path != nullptr) {
            std::string full = std::string("/") + cfg.path;
            CHECK(cfg.path[0] != '\0' && nimbus_path_ok(full.c_str()));
        }
        CHECK(cfg.id == nullptr || trimmed(cfg.id));
        CHECK(cfg.business == 0 || cfg.business == 1);
        // A national cloud holds no personal drives.
        CHECK(cfg.cloud == NIMBUS_CLOUD_GLOBAL || (cfg.cloud > 0 && cfg.business == 1));
        CHECK(std::strncmp(nimbus_graph_base_of(&cfg), "https://", 8) == 0);
        CHECK(cfg.page_size == 0 || (cfg.page_size >= 1 && cfg.page_size <= 1000));
        CHECK(nimbus_page_size_of(&cfg) == (cfg.page_size ? cfg.page_size : 200));
        CHECK(std::string(nimbus_scope_of(&cfg)) ==
              (cfg.scope != nullptr ? cfg.scope : NIMBUS_DEFAULT_SCOPE));
        if (msg_size > 0)
            CHECK(msg[0] == 'Z'); // success writes no message
    } else {
        CHECK(rc == NIMBUS_E_INVALID);
        CHECK(empty(cfg));
        if (msg_size > 0) {
            size_t n = strnlen(msg.data(), msg_size);
            CHECK(n < msg_size);
            bool known = false;
            for (const char *m : messages)
                known = known || std::strncmp(m, msg.data(), msg_size - 1) == 0 ||
                        (std::strlen(m) == n && std::strcmp(m, msg.data()) == 0);
            CHECK(known);
        }
    }
    nimbus_cfg_free(&cfg);
    CHECK(empty(cfg));
    nimbus_cfg_free(&cfg);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t msg_size = size == 0 ? 0 : (data[0] % 4 == 0 ? NIMBUS_MSG_SIZE : data[0] % 48);
    check_one(text, 1, msg_size);
    check_one(text, 0, NIMBUS_MSG_SIZE);
    return 0;
}
