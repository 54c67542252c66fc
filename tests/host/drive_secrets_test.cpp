// The drive handle's messages mask every token it has held: a rotated
// refresh token and the access tokens of earlier grants too, when the
// service's text or the transport's complaint quotes them; and the host
// hears of a refresh token only when a grant really rotated it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nimbus.h"

namespace {

// Grants hand out access-NN and refresh-NN (or what refresh lists) with a
// lifetime too short to keep, so every call grants; Graph refuses with a
// text quoting quote, or the transport fails quoting it.
struct service {
    int grants = 0;
    std::vector<std::string> refresh; // the refresh token of grant k + 1; "" for none
    std::vector<std::string> presented;
    std::string quote;
    bool cut = false;   // the transport fails
    bool refuse = true; // else every listing answers one entry
};

char *copy(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

std::string numbered(const char *what, int n) {
    char s[32];
    std::snprintf(s, sizeof s, "%s-token-%02d", what, n);
    return s;
}

int svc_get(void *ctx, const char *, char **body, int32_t *status, char **error) {
    auto *svc = static_cast<service *>(ctx);
    if (svc->cut) {
        *error = copy("connection reset while sending " + svc->quote);
        return -1;
    }
    *status = svc->refuse ? 403 : 200;
    *body = copy(svc->refuse ? "{\"error\":{\"code\":\"accessDenied\",\"message\":\"refused: " +
                                   svc->quote + "\"}}"
                             : std::string("{\"value\":[{\"id\":\"A\",\"name\":\"a\"}]}"));
    return 0;
}

int svc_post(void *ctx, const char *, const char *form, const char *, char **body, int32_t *status,
             char **) {
    auto *svc = static_cast<service *>(ctx);
    const char *rt = std::strstr(form, "refresh_token=");
    svc->presented.emplace_back(rt ? rt + 14 : "", rt ? std::strcspn(rt + 14, "&") : 0);
    int k = ++svc->grants;
    std::string refresh = static_cast<size_t>(k) <= svc->refresh.size()
                              ? svc->refresh[static_cast<size_t>(k) - 1]
                              : numbered("refresh", k);
    *status = 200;
    *body = copy("{\"access_token\":\"" + numbered("access", k) + "\"," +
                 (refresh.empty() ? "" : "\"refresh_token\":\"" + refresh + "\",") +
                 "\"expires_in\":1}");
    return 0;
}

struct heard {
    std::vector<std::string> tokens;
};

void on_token(void *ctx, const char *token) {
    static_cast<heard *>(ctx)->tokens.emplace_back(token);
}

int ignore(void *, const nimbus_entry *) {
    return 0;
}

const char SETTINGS[] = "{\"ClientId\":\"client-1\",\"ClientSecret\":\"client-secret-1\","
                        "\"refresh_token\":\"refresh-token-00\"}";

TEST(DriveSecrets, EveryTokenOfTheLastEightGrantsIsMasked) {
    service svc;
    nimbus_io io{&svc, svc_get, svc_post, nullptr};
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(SETTINGS, &io, &drive));
    for (int k = 1; k <= 20; k++) {
        // The tokens this call's grant brings, those of the grant eight
        // before (the oldest kept), the configured ones.
        std::vector<std::string> quoted = {numbered("refresh", k), numbered("access", k),
                                           "refresh-token-00", "client-secret-1"};
        if (k > 8) {
            quoted.push_back(numbered("refresh", k - 8));
            quoted.push_back(numbered("access", k - 8));
        }
        svc.quote.clear();
        for (const std::string &q : quoted)
            svc.quote += q + " ";
        svc.cut = k % 3 == 0;
        // Walks too: their helper threads' messages come back to the call.
        int rc = k % 2 ? nimbus_drive_list(drive, "/Music", ignore, nullptr)
                       : nimbus_drive_walk(drive, "/Music", 0, ignore, nullptr);
        EXPECT_EQ(rc, svc.cut ? NIMBUS_E_UNAVAILABLE : NIMBUS_E_AUTH) << k;
        std::string msg = nimbus_last_error();
        EXPECT_NE(msg.find("***"), std::string::npos) << msg;
        for (const std::string &q : quoted)
            EXPECT_EQ(msg.find(q), std::string::npos) << k << ": " << msg;
    }
    EXPECT_EQ(svc.grants, 20);
    EXPECT_EQ(svc.presented.back(), numbered("refresh", 19));
    nimbus_drive_close(drive);
}

TEST(DriveSecrets, OnlyANewRefreshTokenIsHandedToTheHost) {
    service svc;
    svc.refuse = false;
    // An echo of the configured token, a rotation, an echo of it, none.
    svc.refresh = {"refresh-token-00", "rotated-1", "rotated-1", ""};
    heard h;
    nimbus_io io{&svc, svc_get, svc_post, nullptr};
    nimbus_drive *drive = nullptr;
    ASSERT_EQ(NIMBUS_OK, nimbus_drive_open(SETTINGS, &io, &drive));
    nimbus_drive_on_token(drive, on_token, &h);
    for (int k = 0; k < 4; k++)
        EXPECT_EQ(NIMBUS_OK, nimbus_drive_list(drive, "/Music", ignore, nullptr))
            << nimbus_last_error();
    EXPECT_EQ(h.tokens, std::vector<std::string>{"rotated-1"});
    EXPECT_EQ(svc.presented, (std::vector<std::string>{"refresh-token-00", "refresh-token-00",
                                                       "rotated-1", "rotated-1"}));
    nimbus_drive_close(drive);
}

} // namespace
