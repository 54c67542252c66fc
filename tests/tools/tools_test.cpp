// The command's pure pieces: the settings writer's merge, the --page-size
// rewrite, and the --json answers written from the handle's entries.
#include "answers.h"
#include "context.h"
#include "settings_file.h"

#include <gtest/gtest.h>
#include <nimbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using cli::member;

TEST(SettingsMerge, ReplacesFirstKeepsTheRestAndEscapes) {
    const std::string text = "{\"a\":1.50,\"refresh_token\":\"old\",\"n\":{\"x\":[1,null]},"
                             "\"refresh_token\":\"second\"}";
    std::string merged, error;
    ASSERT_TRUE(cli::merge_members(
        text, {{"refresh_token", "new\"\\\n\x01\x7f\xc3\xa9"}, {"ID", "g"}}, &merged, &error))
        << error;
    // Only the first occurrence changes (the library reads that one); raw
    // numbers, nesting and order stay; a new member goes last.
    EXPECT_EQ(cli::settings_value(merged, "refresh_token"), "new\"\\\n\x01\x7f\xc3\xa9");
    EXPECT_NE(merged.find("\"a\": 1.50"), std::string::npos) << merged;
    EXPECT_NE(merged.find("\"second\""), std::string::npos) << merged;
    EXPECT_LT(merged.find("\"n\""), merged.find("\"ID\":\"g\"")) << merged;

    EXPECT_FALSE(cli::merge_members("[1]", {{"a", "b"}}, &merged, &error));
    EXPECT_EQ(error, "the settings file is not a JSON object");
    EXPECT_FALSE(cli::merge_members("{\"a\":", {{"a", "b"}}, &merged, &error));
}

TEST(SettingsMerge, TokenKeyFollowsWhatTheLibraryReads) {
    EXPECT_EQ(cli::refresh_token_key("{\"RefreshToken\":\"x\",\"refresh_token\":\"y\"}", "A"),
              "refresh_token");
    EXPECT_EQ(cli::refresh_token_key("{\"RefreshToken\":\"x\"}", "refresh_token"), "RefreshToken");
    EXPECT_EQ(cli::refresh_token_key("{}", "RefreshToken"), "RefreshToken");
    EXPECT_EQ(cli::settings_value("{\"k\":\" v \"}", "k"), "v");
    EXPECT_EQ(cli::settings_value("{}", "k"), "");
}

TEST(SettingsStore, NewFileInMissingFoldersIsPrivate) {
    char base[] = "/tmp/nimbus-tools-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    const std::string dir = std::string(base) + "/a/b";
    const std::string path = dir + "/settings.json";
    std::string error, text;
    ASSERT_TRUE(cli::store_members(path, {{"refresh_token", "t1"}}, nullptr, &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    cli::file_identity id;
    ASSERT_TRUE(cli::read_settings(path, &text, &error, &id)) << error;
    EXPECT_EQ(cli::settings_value(text, "refresh_token"), "t1");
    // A write that expects the file it read lands; once the name holds a
    // file no locked write left there, it is refused.
    // A link keeps the file read alive, so no new file can take its inode.
    ASSERT_EQ(link(path.c_str(), (dir + "/read.json").c_str()), 0);
    ASSERT_TRUE(cli::store_members(path, {{"refresh_token", "t2"}}, &id, &error)) << error;
    const std::string stranger = dir + "/other.json";
    FILE *f = std::fopen(stranger.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("{\"refresh_token\":\"theirs\"}", f);
    std::fclose(f);
    ASSERT_EQ(chmod(stranger.c_str(), 0600), 0);
    ASSERT_EQ(std::rename(stranger.c_str(), path.c_str()), 0);
    EXPECT_FALSE(cli::store_members(path, {{"refresh_token", "t3"}}, &id, &error));
    ASSERT_TRUE(cli::read_settings(path, &text, &error));
    EXPECT_EQ(cli::settings_value(text, "refresh_token"), "theirs");
    std::string cmd = std::string("rm -rf ") + base;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST(PageSize, GoesFirstUnlessStoredAndNotForced) {
    EXPECT_EQ(cli::with_page_size("{\"a\":1}", 5, false), "{\"PageSize\":5,\"a\":1}");
    EXPECT_EQ(cli::with_page_size(" { } ", 7, true), " {\"PageSize\":7 } ");
    EXPECT_EQ(cli::with_page_size("{\"PageSize\":9}", 5, false), "{\"PageSize\":9}");
    // Forced, it goes in front of the stored one: the library reads the first.
    EXPECT_EQ(cli::with_page_size("{\"PageSize\":9}", 5, true), "{\"PageSize\":5,\"PageSize\":9}");
    EXPECT_EQ(cli::with_page_size("[1]", 5, true), "[1]");
    EXPECT_EQ(cli::with_page_size("{bad", 5, true), "{bad");
}

TEST(HeaderMarkers, GoFirstSoTheFileCannotUndoThem) {
    EXPECT_EQ(cli::with_header_markers(" { } "), " {\"HeaderMarkers\":true } ");
    EXPECT_EQ(cli::with_header_markers("{\"HeaderMarkers\":false}"),
              "{\"HeaderMarkers\":true,\"HeaderMarkers\":false}");
    EXPECT_EQ(cli::with_header_markers("[1]"), "[1]");
    EXPECT_EQ(cli::with_header_markers("{bad"), "{bad");
}

// Only a "Metadata" member that is the JSON true, the first of its name,
// puts the media members into --json listings.
TEST(Answers, WantsMetadata) {
    EXPECT_TRUE(cli::wants_metadata("{\"Metadata\":true}"));
    EXPECT_FALSE(cli::wants_metadata("{\"Metadata\":false,\"Metadata\":true}"));
    EXPECT_FALSE(cli::wants_metadata("{\"Metadata\":\"true\"}"));
}

} // namespace
