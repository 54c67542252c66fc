// nimbus_drive_thumbnail over the fake transport: the request each kind of
// argument makes, the size picked from the item's own set, and every
// answer a host must not be handed (not https, overlong, insane sides).
#include <string>

#include "ops/fake_fixture.h"

using namespace fx;

namespace {

struct thumb_copy {
    std::string url;
    int32_t width = -1, height = -1;
    int calls = 0;
    int stop = 0;
};

int keep_thumb(void *ctx, const nimbus_thumbnail *t) {
    auto *c = static_cast<thumb_copy *>(ctx);
    c->url = t->url;
    c->width = t->width;
    c->height = t->height;
    c->calls++;
    return c->stop;
}

std::string sets(const std::string &small) {
    return "{\"value\":[{\"id\":\"0\",\"small\":" + small +
           ",\"large\":{\"url\":\"https://t.example/l\",\"width\":800,\"height\":600}},"
           "{\"id\":\"1\",\"medium\":{\"url\":\"https://t.example/other\"}}]}";
}

std::string side(const std::string &w) {
    return sets("{\"url\":\"https://t.example/s\",\"width\":" + w + ",\"height\":72}");
}

struct drive_guard {
    nimbus_drive *d = nullptr;
    explicit drive_guard(const std::string &extra = "") {
        EXPECT_EQ(NIMBUS_OK, nimbus_drive_open(settings(extra).c_str(), nimbus_io_fake(), &d));
    }
    ~drive_guard() { nimbus_drive_close(d); }
};

} // namespace

TEST_F(FakeTest, ThumbnailByPathIdAndRootPath) {
    script_token();
    const std::string by_path = kGraph + "/me/drive/root:/Music/a%20b.mp3:/thumbnails";
    script_get(by_path, 200, side("96"));
    script_get(kGraph + "/me/drive/items/ID1/thumbnails", 200, side("96"));
    script_get(kGraph + "/drives/D2/items/ID2/thumbnails", 200, side("96"));
    script_get(kGraph + "/me/drive/root/thumbnails", 200, "{\"value\":[]}");
    drive_guard d;
    thumb_copy t;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_thumbnail(d.d, "/Music/a b.mp3", "small", keep_thumb, &t))
        << nimbus_last_error();
    EXPECT_EQ("https://t.example/s", t.url);
    EXPECT_EQ(96, t.width);
    EXPECT_EQ(72, t.height);
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_thumbnail(d.d, "ID1", "small", keep_thumb, &t));
    EXPECT_EQ(NIMBUS_OK,
              nimbus_drive_thumbnail(d.d, "drives/D2/items/ID2", "small", keep_thumb, &t));
    EXPECT_EQ(kGraph + "/drives/D2/items/ID2/thumbnails", nimbus_fake_last_url());
    t = thumb_copy();
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_thumbnail(d.d, "ID1", "large", keep_thumb, &t));
    EXPECT_EQ("https://t.example/l", t.url);
    // Only the item's own (first) set counts; an item without any has none.
    EXPECT_EQ(NIMBUS_E_NOT_FOUND, nimbus_drive_thumbnail(d.d, "ID1", "medium", keep_thumb, &t));
    EXPECT_EQ(NIMBUS_E_NOT_FOUND, nimbus_drive_thumbnail(d.d, "/", "small", keep_thumb, &t));

    // A configured root path: the root itself is addressed by path too.
    script_get(kGraph + "/me/drive/root:/Media:/thumbnails", 200, side("1"));
    drive_guard rooted("\"Path\":\"Media\"");
    EXPECT_EQ(NIMBUS_OK, nimbus_drive_thumbnail(rooted.d, "/", "small", keep_thumb, &t))
        << nimbus_last_error();
    EXPECT_EQ(1, t.width);
}

TEST_F(FakeTest, ThumbnailArgumentsAndRefusals) {
    script_token();
    drive_guard d;
    thumb_copy t;
    int before = gets(kGraph + "/me/drive/items/ID1/thumbnails");
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_thumbnail(nullptr, "ID1", "small", keep_thumb, &t));
    EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_thumbnail(d.d, "ID1", "small", nullptr, &t));
    for (const char *bad : {"", "Small", "c200x200", "small ", static_cast<const char *>(nullptr)})
        EXPECT_EQ(NIMBUS_E_INVALID, nimbus_drive_thumbnail(d.d, "ID1", bad, keep_thumb, &t));
    EXPECT_EQ(NIMBUS_E_BAD_PATH, nimbus_drive_thumbnail(d.d, "", "small", keep_thumb, &t));
    EXPECT_EQ(NIMBUS_E_BAD_PATH, nimbus_drive_thumbnail(d.d, nullptr, "small", keep_thumb, &t));
    EXPECT_EQ(before, gets(kGraph + "/me/drive/items/ID1/thumbnails"));

    const std::string url = kGraph + "/me/drive/items/ID1/thumbnails";
    const std::string long_url = "\"https://t.example/" + std::string(4096 - 18, 'a') + "\"";
    struct {
        std::string body;
        int code;
    } cases[] = {
        {side("16384"), NIMBUS_OK},
        {sets("{\"url\":" + long_url + "}"), NIMBUS_OK}, // 4096 bytes, no sides given
        {sets("{\"url\":\"https://t.example/" + std::string(4096 - 17, 'a') + "\"}"),
         NIMBUS_E_FAILED},
        {side("16385"), NIMBUS_E_FAILED},
        {side("0"), NIMBUS_E_FAILED},
        {side("-96"), NIMBUS_E_FAILED},
        {side("96.5"), NIMBUS_E_FAILED},
        {side("\"96\""), NIMBUS_E_FAILED},
        {sets("{\"url\":\"http://t.example/s\"}"), NIMBUS_E_FAILED},
        {sets("{\"url\":\"https://t.example/a b\"}"), NIMBUS_E_FAILED},
        {sets("{\"url\":\"https://t.example/a\\nb\"}"), NIMBUS_E_FAILED},
        {sets("{\"url\":\"https://t.example/\xff\"}"), NIMBUS_E_FAILED},
        {sets("{\"url\":7}"), NIMBUS_E_FAILED},
        {sets("\"https://t.example/s\""), NIMBUS_E_FAILED},
        {sets("null"), NIMBUS_E_NOT_FOUND},
        {"{\"value\":[7]}", NIMBUS_E_FAILED},
        {"{\"value\":{}}", NIMBUS_E_FAILED},
        {"[]", NIMBUS_E_FAILED},
        {"{\"error\":{\"code\":\"generalException\",\"message\":\"x\"}}", NIMBUS_E_FAILED},
    };
    for (const auto &c : cases) {
        script_get(url, 200, c.body);
        t = thumb_copy();
        EXPECT_EQ(c.code, nimbus_drive_thumbnail(d.d, "ID1", "small", keep_thumb, &t)) << c.body;
        EXPECT_EQ(c.code == NIMBUS_OK ? 1 : 0, t.calls) << c.body;
    }
    script_get(url, 200, side("96"));
    t = thumb_copy();
    t.stop = 1;
    EXPECT_EQ(NIMBUS_E_STOPPED, nimbus_drive_thumbnail(d.d, "ID1", "small", keep_thumb, &t));
}
