// The documented settings keys against the library that reads them: each
// row's example value is taken and its counter-example refused, so a key
// renamed or a bound moved in the library breaks the table, not the reader.
// The man page's sections come from the same rows.
#include "help.h"
#include "reference.h"

#include <gtest/gtest.h>
#include <nimbus.h>

#include <set>
#include <string>

namespace {

// The library checks settings without credentials here, so one key alone
// is judged on its own.
bool taken(const std::string &key, const std::string &json) {
    std::string settings = "{\"" + key + "\":" + json + "}";
    return nimbus_drive_base(settings.c_str()) != nullptr;
}

TEST(Reference, EverySettingsRowIsWhatTheLibraryTakes) {
    ASSERT_GT(cli::kSettingRowCount, 0u);
    std::set<std::string> keys;
    for (size_t i = 0; i < cli::kSettingRowCount; i++) {
        const cli::setting_row &k = cli::kSettingRows[i];
        EXPECT_TRUE(keys.insert(k.key).second) << k.key << " twice";
        EXPECT_TRUE(taken(k.key, k.accepted))
            << k.key << " " << k.accepted << ": " << nimbus_last_error();
        if (k.refused) {
            EXPECT_FALSE(taken(k.key, k.refused)) << k.key << " " << k.refused;
        }
    }
    // A national cloud with a personal drive is the one pairing refused.
    EXPECT_FALSE(nimbus_drive_base("{\"Cloud\":\"usgov\",\"RuntimeType\":\"ONEDRIVE\"}"));
    EXPECT_TRUE(nimbus_drive_base("{\"Cloud\":\"usgov\",\"RuntimeType\":\"ONEDRIVEB\"}"));
}

TEST(Reference, ManPageHasEveryKeyAndUrlInItsSection) {
    cli::doc_tables t;
    t.keys.assign(cli::kSettingRows, cli::kSettingRows + cli::kSettingRowCount);
    t.urls.assign(cli::kUrlRows, cli::kUrlRows + cli::kUrlRowCount);
    t.options.push_back({"--max-time", nullptr, "SECONDS", nullptr, "a limit"});
    std::string man = cli::man_page(t);
    size_t settings = man.find(".SH SETTINGS\n"), urls = man.find(".SH \"GATEWAY URLS\"\n"),
           exit_status = man.find(".SH \"EXIT STATUS\"");
    ASSERT_NE(settings, std::string::npos);
    ASSERT_NE(urls, std::string::npos);
    ASSERT_LT(settings, urls);
    ASSERT_LT(urls, exit_status);
    EXPECT_NE(man.find(".TP\n\\fBWalkMethod\\fR \\(em auto, listing or changes\nDefault: auto.\n",
                       settings),
              std::string::npos);
    EXPECT_NE(man.find(".TP\n\\fB/FOLDER/?format=m3u&recursive=1\\fR\n", urls), std::string::npos);
    for (const cli::setting_row &k : t.keys)
        EXPECT_NE(man.find("\\fB" + std::string(k.key) + "\\fR", settings), std::string::npos);

    std::string names = cli::doc_names(t);
    EXPECT_EQ(names.find("option --max-time\nkey ClientId\n"), 0u) << names;
    EXPECT_NE(names.find("\nurl /FOLDER/?page=N\n"), std::string::npos);
}

} // namespace
