// What a running gateway makes of a new settings file, and the listening
// socket handed from one run to the next.
#include "serve/reload.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace cli {
namespace {

const char kRunning[] = R"({"ClientId":"app","ClientSecret":"s","refresh_token":"rt-1"})";

settings_change compare(const std::string &now, std::string *why, const char *own = "rt-1") {
    return compare_settings(
        kRunning, now, [own](const std::string &t) { return t == own; }, why);
}

TEST(SettingsChange, WhatChangedDecides) {
    std::string why;
    // The gateway's own rotation, stored by it: nothing to take.
    EXPECT_EQ(compare(kRunning, &why), settings_change::same);
    EXPECT_EQ(
        compare(R"({"ClientId":"app","ClientSecret":"s","refresh_token":"rt-2"})", &why, "rt-2"),
        settings_change::same);
    // Someone else's token for the same sign-in.
    EXPECT_EQ(compare(R"({"ClientId":"app","ClientSecret":"s","refresh_token":"rt-9"})", &why),
              settings_change::new_token);
    // Anything else is another sign-in, whatever the token.
    EXPECT_EQ(compare(R"({"ClientId":"app","ClientSecret":"s","refresh_token":"rt-1","Path":"/A"})",
                      &why),
              settings_change::new_account);
    EXPECT_EQ(compare(R"({"ClientId":"other","PublicClient":true,"refresh_token":"rt-9"})", &why),
              settings_change::new_account);
    // Signed out, any valid sign-in is new; a sign-in forgotten (logout)
    // signs the gateway out, and a signed-out one stays so.
    EXPECT_EQ(compare_settings(
                  "", kRunning, [](const std::string &) { return true; }, &why),
              settings_change::new_account);
    for (const char *gone : {R"({"ClientId":"app","ClientSecret":"s"})",
                             R"({"ClientId":"app","ClientSecret":"s","refresh_token":""})"}) {
        EXPECT_EQ(compare(gone, &why), settings_change::signed_out) << gone;
        EXPECT_EQ(compare_settings(
                      "", gone, [](const std::string &) { return false; }, &why),
                  settings_change::same);
    }
}

TEST(SettingsChange, InvalidFilesAreTold) {
    for (const char *text :
         {"", "{not json", "[]", R"({"ClientSecret":"s","refresh_token":"rt-9"})"}) {
        std::string why;
        EXPECT_EQ(compare(text, &why), settings_change::invalid) << text;
        EXPECT_FALSE(why.empty()) << text;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
}

TEST(FileStamp, ChangesAndAbsence) {
    char path[] = "/tmp/nimbus-stamp-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    file_stamp a = stamp_of(path);
    EXPECT_TRUE(a.present);
    EXPECT_TRUE(same_stamp(a, stamp_of(path)));
    ASSERT_EQ(write(fd, "x", 1), 1);
    EXPECT_FALSE(same_stamp(a, stamp_of(path)));
    close(fd);
    unlink(path);
    file_stamp gone = stamp_of(path);
    EXPECT_FALSE(gone.present);
    EXPECT_FALSE(same_stamp(a, gone));
    EXPECT_TRUE(same_stamp(gone, stamp_of(path)));
}

// A socket on 127.0.0.1 and the address the gateway would listen on.
int socket_on(listen_address *addr, bool listening) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), n) != 0 || (listening && listen(s, 4) != 0) ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) != 0)
        return -1;
    addr->v4 = a;
    addr->is_v6 = false;
    return s;
}

TEST(InheritedListener, OnlyTheGatewaysOwnSocket) {
    listen_address addr;
    int s = socket_on(&addr, true);
    ASSERT_GT(s, 2);
    ASSERT_TRUE(hand_over_listener(s));
    EXPECT_EQ(inherited_listener(addr), s);
    EXPECT_EQ(std::getenv("NIMBUS_SERVE_RESTART_FD"), nullptr); // taken once
    EXPECT_EQ(inherited_listener(addr), -1);

    listen_address other = addr; // another port
    other.v4.sin_port = htons(static_cast<uint16_t>(ntohs(addr.v4.sin_port) + 1));
    ASSERT_TRUE(hand_over_listener(s));
    EXPECT_EQ(inherited_listener(other), -1);
    listen_address v6 = addr;
    v6.is_v6 = true;
    ASSERT_TRUE(hand_over_listener(s));
    EXPECT_EQ(inherited_listener(v6), -1);

    listen_address quiet;
    int idle = socket_on(&quiet, false); // bound, not listening
    ASSERT_TRUE(hand_over_listener(idle));
    EXPECT_EQ(inherited_listener(quiet), -1);
    for (const char *bad : {"", "1", "x", "99999999999"}) {
        setenv("NIMBUS_SERVE_RESTART_FD", bad, 1);
        EXPECT_EQ(inherited_listener(addr), -1) << bad;
    }
    close(idle);
    close(s);
}

} // namespace
} // namespace cli
