// What the fake transport sees of the library's header markers (Prefer on
// listings and the change feed, nothing on grants and look-ups, today's URLs
// for a host that reads no markers), and nimbus_drive_about.
#include <mutex>
#include <string>
#include <vector>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

const std::string kPrefer = "#NIMBUS-HEADER:Prefer: Include-Feature=AddToOneDrive";
const std::string kBearer = "#NIMBUS-BEARER:at-0001";
const std::string kDrive = kGraph + "/me/drive?$select=driveType,owner,quota";

// The fake transport, recording every URL whole (markers and all).
struct raw_io {
    std::mutex mu;
    std::vector<std::string> urls;
    static int get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
        auto *self = static_cast<raw_io *>(ctx);
        {
            std::lock_guard<std::mutex> g(self->mu);
            self->urls.push_back(std::string("GET ") + url);
        }
        return nimbus_io_fake()->get(nullptr, url, body, status, error);
    }
    static int post(void *ctx, const char *url, const char *body, const char *type, char **answer,
                    int32_t *status, char **error) {
        auto *self = static_cast<raw_io *>(ctx);
        {
            std::lock_guard<std::mutex> g(self->mu);
            self->urls.push_back(std::string("POST ") + url);
        }
        return nimbus_io_fake()->post(nullptr, url, body, type, answer, status, error);
    }
    nimbus_io table() { return nimbus_io{this, get, post, nullptr}; }
};

int ignore(void *, const nimbus_entry *) {
    return 0;
}

// Lists the root over two pages, reads the feed, looks up one item and asks
// what drive it is, through one handle; then one flat listing.
std::vector<std::string> requests(const std::string &extra) {
    nimbus_forget_tokens();
    raw_io rec;
    nimbus_io io = rec.table();
    nimbus_drive *drive = nullptr;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_open(settings(extra).c_str(), &io, &drive));
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "/", ignore, nullptr)) << nimbus_last_error();
    char *cursor = nullptr;
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_changes(drive, nullptr, nullptr, ignore, nullptr, &cursor))
        << nimbus_last_error();
    std::free(cursor);
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_item(drive, "/a.mp3", ignore, nullptr));
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_about(
                             drive, [](void *, const nimbus_about *) { return 0; }, nullptr));
    nimbus_drive_close(drive);
    nimbus_forget_tokens();
    EXPECT_EQ(NIMBUS_OK, nimbus_set_io(&io));
    EXPECT_EQ(NIMBUS_OK, nimbus_list(settings(extra).c_str(), "/", nullptr, 0));
    nimbus_use_fake();
    return rec.urls;
}

void script_drive() {
    script_token();
    // The handle's listing and the flat one ask for the same first page
    // but with their own members; the next link is the service's own.
    for (const std::string &first : {handle_page(kRoot), first_page(kRoot)})
        script_get(first, 200, page({item("a", "a.mp3")}, kRoot + "?$skiptoken=2"));
    script_get(kRoot + "?$skiptoken=2", 200, page({item("b", "b.mp3")}));
    std::string delta = kGraph + "/me/drive/root/delta";
    script_get(entries_page(delta), 200,
               "{\"value\":[],\"@odata.deltaLink\":\"" + delta + "?token=T1\"}");
    script_get(lookup(kGraph + "/me/drive/root:/a.mp3"), 200, item("a", "a.mp3"));
    script_get(kDrive, 200, "{\"driveType\":\"personal\"}");
}

TEST_F(FakeTest, PreferGoesWithListingsAndTheFeedOnly) {
    script_drive();
    std::string delta = kGraph + "/me/drive/root/delta";
    std::vector<std::string> marked = {
        "POST " + kTokenUrl,
        "GET " + handle_page(kRoot) + kPrefer + kBearer,
        "GET " + kRoot + "?$skiptoken=2" + kPrefer + kBearer,
        "GET " + entries_page(delta) + kPrefer + kBearer,
        "GET " + lookup(kGraph + "/me/drive/root:/a.mp3") + kBearer,
        "GET " + kDrive + kBearer,
        "POST " + kTokenUrl,
        "GET " + first_page(kRoot) + kPrefer + kBearer,
        "GET " + kRoot + "?$skiptoken=2" + kPrefer + kBearer,
    };
    EXPECT_EQ(marked, requests("\"HeaderMarkers\":true"));
    EXPECT_EQ("Prefer: Include-Feature=AddToOneDrive", std::string(nimbus_fake_last_headers()));

    // A host that does not say it reads them gets today's URLs, byte for byte.
    std::vector<std::string> plain;
    for (std::string u : marked) {
        size_t at = u.find(kPrefer);
        plain.push_back(at == std::string::npos ? u : u.erase(at, kPrefer.size()));
    }
    EXPECT_EQ(plain, requests(""));
    EXPECT_EQ(plain, requests("\"HeaderMarkers\":false"));
    EXPECT_STREQ("", nimbus_fake_last_headers());
    outcome bad = list(settings("\"HeaderMarkers\":1"), "/");
    expect_failure(bad, NIMBUS_E_INVALID, "HeaderMarkers must be true or false");
}

struct about_copy {
    std::string type, owner, state;
    int64_t total = 0, used = 0, remaining = 0, deleted = 0;
    int calls = 0;
};

int keep_about(void *ctx, const nimbus_about *a) {
    auto *c = static_cast<about_copy *>(ctx);
    c->type = a->drive_type ? a->drive_type : "(null)";
    c->owner = a->owner ? a->owner : "(null)";
    c->state = a->state ? a->state : "(null)";
    c->total = a->total;
    c->used = a->used;
    c->remaining = a->remaining;
    c->deleted = a->deleted;
    return c->calls++;
}

TEST_F(FakeTest, DriveAboutAnswersAndFails) {
    script_token();
    script_get(kDrive, 200,
               "{\"id\":\"d1\",\"driveType\":\"business\",\"owner\":{\"user\":{\"displayName\":"
               "\"Ada\"}},\"quota\":{\"total\":100,\"used\":40,\"remaining\":60,\"deleted\":2,"
               "\"state\":\"normal\"}}");
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(settings().c_str(), nimbus_io_fake(), &drive));
    about_copy a;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_about(drive, keep_about, &a)) << nimbus_last_error();
    EXPECT_EQ("business Ada normal 100 40 60 2 1",
              a.type + " " + a.owner + " " + a.state + " " + std::to_string(a.total) + " " +
                  std::to_string(a.used) + " " + std::to_string(a.remaining) + " " +
                  std::to_string(a.deleted) + " " + std::to_string(a.calls));
    EXPECT_STREQ("", nimbus_last_error());
    // The callback stops it; null arguments; the service's refusal.
    EXPECT_EQ(NIMBUS_E_STOPPED, nimbus_drive_about(drive, keep_about, &a));
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_about(nullptr, keep_about, &a));
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_about(drive, nullptr, &a));
    script_get(kDrive, 403, "{\"error\":{\"code\":\"accessDenied\",\"message\":\"no\"}}");
    EXPECT_EQ(NIMBUS_E_AUTH, nimbus_drive_about(drive, keep_about, &a));
    script_get(kDrive, 200, "[1]");
    EXPECT_EQ(NIMBUS_E_FAILED, nimbus_drive_about(drive, keep_about, &a));
    EXPECT_STREQ("the drive answer is not a JSON object", nimbus_last_error());
    EXPECT_EQ(2, a.calls);
    nimbus_drive_close(drive);
}

} // namespace
