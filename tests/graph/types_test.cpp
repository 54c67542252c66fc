// A file's MIME type from its extension, where the service names none, and
// the refusal that tells a locked folder.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "graph/graph.h"

namespace {

TEST(FileType, ExtensionTable) {
    const char *const cases[][2] = {{"a.mkv", "video/x-matroska"},
                                    {"a.mp4", "video/mp4"},
                                    {"a.m4v", "video/mp4"},
                                    {"a.mov", "video/quicktime"},
                                    {"a.avi", "video/x-msvideo"},
                                    {"a.webm", "video/webm"},
                                    {"a.ts", "video/mp2t"},
                                    {"a.mp3", "audio/mpeg"},
                                    {"a.m4a", "audio/mp4"},
                                    {"a.aac", "audio/aac"},
                                    {"a.flac", "audio/flac"},
                                    {"a.ogg", "audio/ogg"},
                                    {"a.opus", "audio/ogg"},
                                    {"a.wav", "audio/wav"},
                                    {"a.wma", "audio/x-ms-wma"},
                                    {"a.jpg", "image/jpeg"},
                                    {"a.png", "image/png"},
                                    {"a.heic", "image/heic"},
                                    {"a.srt", "application/x-subrip"},
                                    {"a.vtt", "text/vtt"},
                                    {"a.ass", "text/x-ssa"},
                                    {"Film.MKV", "video/x-matroska"},
                                    {"x.tar.Mp3", "audio/mpeg"}};
    for (const auto &c : cases)
        EXPECT_STREQ(nimbus_type_of_name(c[0]), c[1]) << c[0];
    // No extension, a dot-file, a dot at the end, an unknown or overlong
    // one, or a dot in a folder's name: no type.
    for (const char *none :
         {"mkv", ".mkv", "a.", "a.html", "a.svg", "a.mkvv", "a.mkv5", "d.mkv/file", "", "a.mk"})
        EXPECT_EQ(nimbus_type_of_name(none), nullptr) << none;
    EXPECT_EQ(nimbus_type_of_name(nullptr), nullptr);
}

TEST(FileType, ServiceTypeUnlessOctetStream) {
    EXPECT_STREQ(nimbus_file_type("application/octet-stream", "f.mkv"), "video/x-matroska");
    EXPECT_STREQ(nimbus_file_type(nullptr, "s.srt"), "application/x-subrip");
    EXPECT_STREQ(nimbus_file_type("", "s.m4a"), "audio/mp4");
    // The service's own type stands, whatever the name says.
    EXPECT_STREQ(nimbus_file_type("audio/x-flac", "a.mp3"), "audio/x-flac");
    EXPECT_STREQ(nimbus_file_type("application/octet-stream", "a.bin"), "application/octet-stream");
    EXPECT_EQ(nimbus_file_type(nullptr, "a.bin"), nullptr);
}

TEST(LockedFolder, OnlyTheVaultsRefusal) {
    const std::string vault =
        R"({"error":{"code":"invalidRequest","message":"ObjectHandle is Invalid"}})";
    EXPECT_TRUE(nimbus_locked_folder(400, vault.c_str(), vault.size()));
    EXPECT_FALSE(nimbus_locked_folder(403, vault.c_str(), vault.size()));
    EXPECT_FALSE(nimbus_locked_folder(200, vault.c_str(), vault.size()));
    EXPECT_FALSE(nimbus_locked_folder(400, nullptr, 0));
    for (const char *other :
         {R"({"error":{"code":"invalidRequest","message":"Invalid $top"}})",
          R"({"error":{"code":"accessDenied","message":"ObjectHandle is Invalid"}})",
          R"({"error":{"message":"ObjectHandle is Invalid"}})", R"({"error":"invalidRequest"})",
          "ObjectHandle is Invalid", ""})
        EXPECT_FALSE(nimbus_locked_folder(400, other, std::strlen(other))) << other;
}

} // namespace
