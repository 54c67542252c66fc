// `nimbus logout`: forgets the sign-in the settings file holds. The refresh
// token goes (under either of its keys); the application's settings stay,
// so that `nimbus login` signs in again with them. A running gateway sees
// the file change and goes on signed out, offering its sign-in page.
#include "commands.h"
#include "output.h"
#include "settings_file.h"

#include <nimbus.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace cli {

int run_logout(const options &o) {
    if (o.demo) {
        print_error("logout: the demo drive has no sign-in to forget");
        return EXIT_USAGE;
    }
    const std::string path = o.settings_path.empty() ? default_settings_path() : o.settings_path;
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
        std::printf("no sign-in stored: there is no settings file at %s\n", path.c_str());
        return EXIT_OK;
    }
    std::string text, error;
    file_identity read{};
    if (!read_settings(path, &text, &error, &read)) {
        print_error(error);
        return EXIT_SETTINGS;
    }
    std::vector<member> gone;
    for (const char *key : {"refresh_token", "RefreshToken"})
        if (!settings_value(text, key).empty())
            gone.emplace_back(key, kSettingRemove);
    if (gone.empty()) {
        std::printf("no sign-in stored in %s\n", path.c_str());
        return EXIT_OK;
    }
    lock_wait wait;
    wait.max_time_s = o.max_time_s;
    if (!store_members(path, gone, &read, &error, wait)) {
        print_error("logout: " + error);
        return EXIT_OTHER;
    }
    nimbus_forget_tokens();
    std::printf("signed out: the refresh token is gone from %s\n", path.c_str());
    // Nothing revokes a refresh token from here: say where that is done.
    std::printf("the service still honours a copy of it until it expires; to end every "
                "sign-in, sign out everywhere in the account's security settings\n");
    return EXIT_OK;
}

} // namespace cli
