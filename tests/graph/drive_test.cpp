// The drive answer's reader (GET /me/drive) on well-formed and hostile
// answers, and which requests ask for shortcuts.
#include <gtest/gtest.h>

#include <string>

#include "graph/graph.h"

namespace {

struct read {
    int rc;
    nimbus_drive_facts f;
    std::string msg;
    explicit read(const std::string &body) {
        char m[NIMBUS_MSG_SIZE] = "";
        rc = nimbus_parse_drive(body.c_str(), body.size(), &f, m, sizeof m);
        msg = m;
    }
    ~read() { nimbus_drive_facts_free(&f); }
    std::string text() const {
        return std::string(f.type ? f.type : "-") + "|" + (f.owner ? f.owner : "-") + "|" +
               std::to_string(f.total) + "|" + std::to_string(f.used) + "|" +
               std::to_string(f.remaining) + "|" + std::to_string(f.deleted) + "|" +
               (f.state ? f.state : "-");
    }
};

std::string quota(const std::string &v) {
    return "{\"quota\":{\"total\":" + v + ",\"used\":" + v + ",\"remaining\":" + v +
           ",\"deleted\":" + v + ",\"state\":" + v + "}}";
}

TEST(DriveAnswer, TypeOwnerQuota) {
    read r("{\"driveType\":\"documentLibrary\",\"owner\":{\"group\":{\"displayName\":\"Team\"}},"
           "\"quota\":{\"total\":9223372036854775807,\"used\":0,\"remaining\":1,\"deleted\":2,"
           "\"state\":\"exceeded\"}}");
    EXPECT_EQ(NIMBUS_OK, r.rc);
    EXPECT_EQ("documentLibrary|Team|9223372036854775807|0|1|2|exceeded", r.text());
    // A user's name before a group's; the first member of a key counts.
    read u("{\"driveType\":\"personal\",\"driveType\":\"business\",\"owner\":{\"group\":"
           "{\"displayName\":\"G\"},\"user\":{\"displayName\":\"U\"}}}");
    EXPECT_EQ("personal|U|-1|-1|-1|-1|-", u.text());
}

TEST(DriveAnswer, HostileMembersAreUnknown) {
    for (const char *v : {"9223372036854775808", "18446744073709551615", "-1", "1.5", "1e3",
                          "\"7\"", "true", "null", "[]", "{}"}) {
        read r(quota(v));
        EXPECT_EQ(NIMBUS_OK, r.rc) << v;
        EXPECT_EQ("-|-|-1|-1|-1|-1|-", r.text()) << v;
    }
    EXPECT_EQ("-|-|-1|-1|-1|-1|-", read("{\"quota\":[1],\"owner\":\"x\"}").text());
    EXPECT_EQ("-|-|-1|-1|-1|-1|-", read("{\"driveType\":\"Personal\",\"quota\":{\"state\":"
                                        "\"full\"},\"owner\":{\"user\":\"x\"}}")
                                       .text());
    // The owner's name: 1 to 1024 bytes, no NUL inside.
    std::string at(1024, 'n');
    std::string past(1025, 'n');
    EXPECT_EQ(at, read("{\"owner\":{\"user\":{\"displayName\":\"" + at + "\"}}}").f.owner);
    for (const std::string &name : {past, std::string(""), std::string("a\\u0000b")})
        EXPECT_EQ(nullptr,
                  read("{\"owner\":{\"user\":{\"displayName\":\"" + name + "\"}}}").f.owner);
}

TEST(DriveAnswer, NotAnAnswer) {
    for (const char *body : {"", "[]", "\"x\"", "{", "{\"a\":1}x"}) {
        read r(body);
        EXPECT_EQ(NIMBUS_E_FAILED, r.rc) << body;
        EXPECT_EQ("the drive answer is not a JSON object", r.msg);
        EXPECT_EQ("-|-|-1|-1|-1|-1|-", r.text());
    }
    read e("{\"error\":{\"code\":\"accessDenied\",\"message\":\"Access denied\"}}");
    EXPECT_EQ(NIMBUS_E_FAILED, e.rc);
    EXPECT_EQ("Access denied", e.msg);
}

TEST(DriveAnswer, ShortcutsAskedForByListingsAndTheFeed) {
    nimbus_cfg cfg{};
    const std::string g = "https://graph.microsoft.com/v1.0/me/drive";
    EXPECT_EQ(nullptr, nimbus_graph_headers(&cfg, (g + "/root/children").c_str()));
    cfg.header_markers = 1;
    for (const std::string &u :
         {g + "/root/children", g + "/root/children?$top=5", g + "/root:/a b:/children?$top=1",
          g + "/items/X/children?$skiptoken=2", g + "/root/delta", g + "/root:/M:/delta?token=1",
          g + "/root/delta(token='a/b')", g + "/root/delta(token='x')?$top=3"})
        EXPECT_STREQ("Prefer: Include-Feature=AddToOneDrive", nimbus_graph_headers(&cfg, u.c_str()))
            << u;
    for (const std::string &u :
         {g, g + "?$select=driveType", g + "/root:/children.mp3", g + "/root:/delta.txt",
          g + "/root/search(q='children')", g + "/root?x=/children"})
        EXPECT_STREQ("", nimbus_graph_headers(&cfg, u.c_str())) << u;
}

} // namespace
