// nimbus_drive_search against the fake transport: the text quoted and
// encoded, the search scoped to the configured root, paths from
// parentReference.path (and none when it is unusable, has an empty segment
// or lies outside the root), paging with de-duplication, and the text's
// limits.
#include <string>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

std::string found(const std::string &id, const std::string &name, const std::string &parent) {
    return "{\"id\":\"" + id + "\",\"name\":\"" + name + "\",\"file\":{},\"parentReference\":{" +
           (parent.empty() ? "" : "\"path\":\"" + parent + "\"") + "}}";
}

int keep(void *ctx, const nimbus_entry *e) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(e->path ? e->path
                                                                    : "-" + std::string(e->id));
    return 0;
}

TEST_F(FakeTest, SearchQuotesPagesAndPlacesEntries) {
    script_token();
    const std::string first =
        kGraph + "/me/drive/root:/Media:/search(q='Rock%20%27%27n%27%27%20Roll%2F%3F%23')";
    script_get(handle_page(first), 200,
               page({found("a", "a.flac", "/drive/root:/Media/Rock"),
                     found("b", "b.flac", "/drive/root:/Media"),
                     found("c", "c.flac", "/drive/root:/Elsewhere"),
                     found("d", "d.flac", "/drive/root:/Media/../x"), found("e", "e.flac", "")},
                    kGraph + "/me/drive/root:/Media:/search?p=2"));
    script_get(kGraph + "/me/drive/root:/Media:/search?p=2", 200,
               page({found("a", "a.flac", "/drive/root:/Media/Rock"),
                     found("f", "f.flac", "/drives/b!x/root:/Media/Live"),
                     found("g", "g.flac", "/drive/root:/Media//Live"),
                     found("h", "h.flac", "/drive/root:/Media/Live/"),
                     found("i", "i.flac", "/drives/root:/Media")}));
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK,
              nimbus_drive_open(settings("\"Path\":\"Media\"").c_str(), nimbus_io_fake(), &drive));
    std::vector<std::string> got;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_search(drive, "Rock 'n' Roll/?#", keep, &got))
        << nimbus_last_error();
    EXPECT_EQ((std::vector<std::string>{"/Rock/a.flac", "/b.flac", "-c", "-d", "-e", "/Live/f.flac",
                                        "-g", "-h", "-i"}),
              got);

    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_search(drive, "", keep, &got));
    EXPECT_STREQ("the search text is empty", nimbus_last_error());
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_search(drive, "a\nb", keep, &got));
    EXPECT_EQ(NIMBUS_E_INVALID,
              nimbus_drive_search(drive, std::string(1025, 'x').c_str(), keep, &got));
    EXPECT_STREQ("the search text is longer than 1024 bytes", nimbus_last_error());
    // 1024 bytes are searched.
    script_get(
        handle_page(kGraph + "/me/drive/root:/Media:/search(q='" + std::string(1024, 'x') + "')"),
        200, page({}));
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_search(drive, std::string(1024, 'x').c_str(), keep, &got));
    nimbus_drive_close(drive);
}

} // namespace
