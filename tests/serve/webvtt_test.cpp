// Subtitle files as WebVTT for a browser's <track>: exact bytes out.
#include <gtest/gtest.h>

#include <string>

#include "serve/webvtt.h"

namespace {

using cli::vtt_fault;

std::string vtt(const std::string &in, bool is_vtt = false) {
    std::string out = "unchanged";
    vtt_fault f = cli::webvtt_of(in, is_vtt, &out);
    return f == vtt_fault::none ? out : "fault " + std::to_string(static_cast<int>(f)) + out;
}

TEST(WebVtt, SubRipConverted) {
    // A byte order mark, CRLF and lone CR, coordinates after the end time.
    EXPECT_EQ(vtt("\xef\xbb\xbf"
                  "1\r\n00:00:01,000 --> 00:00:02,500 X1:10 X2:20\r\n<i>Hi</i> & bye\r\n"
                  "two lines -->\r\n\r\n2\r00:01:00,000-->01:02:03.004\rNext\r"),
              "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.500\n<i>Hi</i> & bye\ntwo lines --&gt;\n\n"
              "2\n00:01:00.000 --> 01:02:03.004\nNext\n\n");
    // No numbers, blank lines of spaces, a missing blank line between cues
    // (the number before the next timing line goes with it), hours of 3 digits.
    EXPECT_EQ(vtt("00:01.000 --> 00:02.000\nA\n   \n\n7\n00:00:03,000 --> 00:00:04,000\nB\n8\n"
                  "100:00:05,000 --> 100:00:06,000\nC"),
              "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nA\n\n7\n00:00:03.000 --> 00:00:04.000\n"
              "B\n\n8\n100:00:05.000 --> 100:00:06.000\nC\n\n");
}

TEST(WebVtt, IllFormedCuesSkippedBytesRepaired) {
    const char *bad_timings[] = {
        "00:00:02,000 --> 00:00:01,000", // ends before it starts
        "00:00:01,000 --> 00:00:01,000", // ends as it starts
        "00:60:00,000 --> 01:00:00,000",
        "00:00:01,00 --> 00:00:02,000",
        "0000000000:00:01,000 --> 0000000000:00:02,000", // 10 digits of hours
        "00:00:01;000 --> 00:00:02,000",
        "00:00:01,000 -> 00:00:02,000",
        "x --> 00:00:02,000",
        "00:00:01,000 -->"};
    for (const char *t : bad_timings)
        EXPECT_EQ(
            vtt(std::string("1\n") + t + "\nLost\n\n2\n00:00:03,000 --> 00:00:04,000\nKept\n"),
            "WEBVTT\n\n2\n00:00:03.000 --> 00:00:04.000\nKept\n\n")
            << t;
    // Latin-1, a lone continuation byte, an overlong form, a surrogate, NUL: U+FFFD.
    EXPECT_EQ(vtt(std::string("00:00:01,000 --> 00:00:02,000\nd\xe9j\xc3\xa0 \x80\xc0\xaf") +
                  "\xed\xa0\x80" + std::string(1, '\0') + "!\n"),
              "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nd\xef\xbf\xbdj\xc3\xa0 "
              "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
              "!\n\n");
    EXPECT_EQ(vtt("no cue at all\n"), "WEBVTT\n\n");
    EXPECT_EQ(vtt(""), "WEBVTT\n\n");
}

TEST(WebVtt, WebVttKeptOnlyWithItsSignature) {
    std::string file = "WEBVTT - film\r\n\r\n00:01.000 --> 00:02.000 line:0\r\n<c>x</c>\r\n";
    EXPECT_EQ(vtt(file, true), file);
    EXPECT_EQ(vtt("\xef\xbb\xbfWEBVTT", true), "\xef\xbb\xbfWEBVTT");
    EXPECT_EQ(vtt("WEBVTT\n\xff", true), "WEBVTT\n\xef\xbf\xbd");
    for (const char *no : {"WEBVTTX\n", "webvtt\n", " WEBVTT\n", "", "1\n00:00:01,000 --> x"})
        EXPECT_EQ(vtt(no, true), "fault 2") << no;
}

TEST(WebVtt, BoundsAndEncodings) {
    // The input's bound, at and one past it.
    std::string at = "WEBVTT\n" + std::string(cli::kMaxSubtitleBytes - 7, 'a');
    EXPECT_EQ(vtt(at, true).size(), cli::kMaxSubtitleBytes);
    EXPECT_EQ(vtt(at + "a", true), "fault 1");
    // What the text becomes is bounded too: 0xff grows to three bytes.
    EXPECT_EQ(vtt("WEBVTT\n" + std::string(cli::kMaxSubtitleBytes / 2, '\xff'), true), "fault 1");
    // 33 bytes a cue in and out: the signature takes the most that fit past the bound.
    std::string cue = "00:00:01,000 --> 00:00:02,000\nx\n\n", many;
    while (many.size() + cue.size() <= cli::kMaxSubtitleBytes)
        many += cue;
    EXPECT_EQ(vtt(many), "fault 1");
    many.resize(many.size() - 33);
    EXPECT_EQ(vtt(many).size(), 8 + many.size());
    // UTF-16 and UTF-32 are refused, not read as bytes.
    for (const char *bom : {"\xff\xfe", "\xfe\xff"})
        EXPECT_EQ(vtt(std::string(bom) + "1\n"), "fault 3");
    EXPECT_EQ(vtt(std::string("\0\0\xfe\xff", 4)), "fault 3");
}

} // namespace
