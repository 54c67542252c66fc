// nimbus_drive_changes against the fake transport: everything now, then
// exactly a rename, an addition and a deletion through the cursor, paging
// to the deltaLink, an expired cursor, a foreign cursor, and a business
// drive's feed outside its root.
#include <cstdlib>
#include <string>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

const std::string kDelta = kGraph + "/me/drive/root/delta";

std::string feed(const std::vector<std::string> &items, const std::string &link, bool last) {
    std::string s = page(items);
    s.pop_back();
    return s + ",\"@odata." + (last ? "deltaLink" : "nextLink") + "\":\"" + link + "\"}";
}

int keep(void *ctx, const nimbus_entry *e) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(
        std::string(e->deleted ? "deleted " : "") + e->id + " " + e->name);
    return 0;
}

TEST_F(FakeTest, ChangesReportExactlyWhatChanged) {
    script_token();
    script_get(first_page(kDelta), 200,
               feed({item("a", "a.flac"), item("b", "b.flac")}, kDelta + "?token=p2", false));
    script_get(kDelta + "?token=p2", 200, feed({item("c", "c.flac")}, kDelta + "?token=T1", true));
    script_get(kDelta + "?token=T1", 200,
               feed({item("a", "renamed.flac"), item("d", "new.flac"),
                     "{\"id\":\"b\",\"deleted\":{\"state\":\"deleted\"}}"},
                    kDelta + "?token=T2", true));
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    std::vector<std::string> got;
    char *cursor = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, nullptr, nullptr, keep, &got, &cursor))
        << nimbus_last_error();
    EXPECT_EQ((std::vector<std::string>{"a a.flac", "b b.flac", "c c.flac"}), got);
    ASSERT_NE(nullptr, cursor);
    EXPECT_EQ(kDelta + "?token=T1", cursor);

    got.clear();
    char *next = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, "/", cursor, keep, &got, &next));
    EXPECT_EQ((std::vector<std::string>{"a renamed.flac", "d new.flac", "deleted b b"}), got);
    EXPECT_EQ(kDelta + "?token=T2", next);
    std::free(cursor);
    std::free(next);

    // An expired cursor has its own code; a foreign one is never requested.
    script_get(kDelta + "?token=old", 410,
               "{\"error\":{\"code\":\"resyncRequired\",\"message\":\"Resync required\"}}");
    next = reinterpret_cast<char *>(1);
    EXPECT_EQ(NIMBUS_E_RESYNC, nimbus_drive_changes(drive, nullptr, (kDelta + "?token=old").c_str(),
                                                    keep, &got, &next));
    EXPECT_EQ(nullptr, next);
    EXPECT_STREQ("changes: the service no longer accepts the cursor (resyncRequired); start over "
                 "without one",
                 nimbus_last_error());
    EXPECT_EQ(NIMBUS_E_INVALID,
              nimbus_drive_changes(drive, nullptr, "https://graph.microsoft.com.evil/v1.0/x", keep,
                                   &got, &next));
    EXPECT_EQ(0, nimbus_fake_calls(nullptr, "https://graph.microsoft.com.evil/v1.0/x"));
    // A last page without a deltaLink is no cursor.
    script_get(first_page(kGraph + "/me/drive/root:/Music:/delta"), 200, page({}));
    EXPECT_EQ(NIMBUS_E_FAILED, nimbus_drive_changes(drive, "/Music", nullptr, keep, &got, &next));
    nimbus_drive_close(drive);

    // A business drive's feed covers its root only.
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings("\"RuntimeType\":\"ONEDRIVEB\"").c_str(),
                                           nimbus_io_fake(), &drive));
    int before = nimbus_fake_calls(nullptr, nullptr);
    EXPECT_EQ(NIMBUS_E_UNSUPPORTED,
              nimbus_drive_changes(drive, "/Music", nullptr, keep, &got, &next));
    EXPECT_STREQ("changes: a business drive's change feed covers only the drive's root",
                 nimbus_last_error());
    EXPECT_EQ(before, nimbus_fake_calls(nullptr, nullptr));
    nimbus_drive_close(drive);
    EXPECT_STREQ("change cursor expired: start over", nimbus_strerror(NIMBUS_E_RESYNC));
}

} // namespace
