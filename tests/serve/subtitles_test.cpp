// Subtitles found beside films in a listed folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serve/subtitles.h"

namespace {

using cli::folder_listing;

bool name_before(std::string_view a, std::string_view b) {
    return a < b;
}

void fill(folder_listing &l, const std::vector<std::string> &names) {
    for (const std::string &n : names) {
        nimbus_entry e{};
        e.name = n.c_str();
        e.id = "ID";
        e.size = 1;
        e.mime_type = "video/mp4";
        ASSERT_TRUE(l.add(e));
    }
    ASSERT_TRUE(l.finish(name_before));
}

TEST(Subtitles, SameStemAnOptionalLanguageTagAndTheExtensionInAnyCase) {
    folder_listing l;
    fill(l, {"Film.mkv",   "Film.SRT",     "Film.en.srt", "Other.mp4",    "Other.eng.VTT",
             "Tag.mp4",    "Tag.engl.srt", "Tag.e.srt",   "Tag.e1.srt",   "Two.avi",
             "Two.de.srt", "Two.fr.srt",   "Dot.en.mkv",  "Dot.en.srt",   "Bare",
             "Bare.srt",   "Sub.txt",      "Sub.srt.bak", "Film.mkv.srt", "x.srt"});
    cli::subtitle_index subs(l);
    EXPECT_EQ(subs.find("Film.mkv"), "Film.SRT"); // untagged before tagged
    EXPECT_EQ(subs.find("Other.mp4"), "Other.eng.VTT");
    EXPECT_EQ(subs.find("Tag.mp4"), "");           // a tag is 2 or 3 letters
    EXPECT_EQ(subs.find("Two.avi"), "Two.de.srt"); // the first in display order
    EXPECT_EQ(subs.find("Dot.en.mkv"), "Dot.en.srt");
    EXPECT_EQ(subs.find("Bare"), ""); // a film named without extension
    EXPECT_EQ(subs.find("Sub.mp4"), "");
    EXPECT_EQ(subs.find("Dot.mkv"), "Dot.en.srt");
    EXPECT_EQ(cli::subtitle_for(l, "Other.mp4"), "Other.eng.VTT");
    EXPECT_STREQ(cli::subtitle_type("a.Srt"), "text/srt");
    EXPECT_STREQ(cli::subtitle_type("a.vtT"), "text/vtt");
    for (const char *no : {"a.srt.bak", ".srt", "srt", "a.srtx", "a.vt"})
        EXPECT_EQ(cli::subtitle_type(no), nullptr) << no;
    EXPECT_TRUE(cli::caption_asked("1"));
    for (const char *no : {"0", "11", "", " 1", "true"})
        EXPECT_FALSE(cli::caption_asked(no)) << no;
    EXPECT_FALSE(cli::caption_asked(nullptr));
}

TEST(Subtitles, EveryOneOfAFilmWithItsLanguage) {
    folder_listing l;
    fill(l, {"Film.mkv", "Film.fr.srt", "Film.en.vtt", "Film.srt", "Film.e.srt", "Films.srt",
             "Solo.mp4", "Solo.de.srt"});
    std::string got;
    for (const cli::film_subtitle &s : cli::subtitles_of(l, "Film.mkv"))
        got += std::string(s.name) + "/" + std::string(s.lang) + (s.chosen ? "*" : "") + " ";
    EXPECT_EQ(got, "Film.en.vtt/en Film.fr.srt/fr Film.srt/* ");
    auto solo = cli::subtitles_of(l, "Solo.mp4");
    ASSERT_EQ(solo.size(), 1U);
    EXPECT_TRUE(solo[0].chosen); // no untagged one: the first
    EXPECT_TRUE(cli::subtitles_of(l, "Film").empty());
}

} // namespace
