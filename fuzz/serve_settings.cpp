// A settings file a running gateway finds replaced: whatever its text, the
// verdict is one of the four, an invalid file is told in one line, and a
// file that is not invalid reads back the same when compared with itself.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "serve/reload.h"

namespace {

const char kRunning[] = R"({"ClientId":"app","ClientSecret":"s","refresh_token":"rt-1"})";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte: signed out (no settings in use) or signed in.
    bool signed_out = data[0] & 1;
    std::string now(reinterpret_cast<const char *>(data + 1), size - 1);
    auto own = [](const std::string &token) { return token == "rt-1"; };
    std::string why;
    cli::settings_change c = cli::compare_settings(signed_out ? "" : kRunning, now, own, &why);
    if (c == cli::settings_change::invalid || c == cli::settings_change::signed_out) {
        CHECK(!why.empty() && why.find('\n') == std::string::npos);
        CHECK(c == cli::settings_change::invalid || !signed_out);
        return 0;
    }
    if (signed_out && c == cli::settings_change::same)
        return 0; // a file without a sign-in, as the gateway runs
    CHECK(!signed_out || c == cli::settings_change::new_account);
    std::string again;
    CHECK(cli::compare_settings(
              now, now, [](const std::string &) { return true; }, &again) ==
          cli::settings_change::same);
    return 0;
}
