// The steps before a sign-in grant: the authorize address and the device
// authorization, through nimbus_token_grant and the answer reader.
#include <string>

#include <gtest/gtest.h>

#include "auth/token_server.h"

namespace {

const char kSettings[] = R"({"ClientId":"client 1&x","ClientSecret":"s3cret-1"})";
const char kPublic[] = R"({"ClientId":"client-1","PublicClient":true})";
const char kDevice[] = R"({"grant_type":"urn:ietf:params:oauth:grant-type:device_code"})";
const std::string kChallenge(43, 'C');

struct answer {
    int rc;
    std::string out, error;
};

answer grant(const char *settings, const nimbus_io *io, const std::string &json,
             int32_t len = 4096) {
    std::string out(static_cast<size_t>(len > 0 ? len : 1), 'x');
    answer a;
    a.rc = nimbus_token_grant(settings, io, json.c_str(), len > 0 ? &out[0] : nullptr, len);
    a.out = len > 0 ? std::string(out.c_str()) : "";
    a.error = nimbus_last_error();
    return a;
}

std::string authorize_json(const std::string &state, const std::string &challenge) {
    return R"({"grant_type":"authorization_code","redirect_uri":"http://localhost:8914/",)"
           R"("state":")" +
           state + R"(","code_challenge":")" + challenge + "\"}";
}

std::string token_base() {
    std::string url = nimbus_token_url();
    return url.substr(0, url.rfind('/') + 1);
}

struct device_read {
    int rc;
    std::string msg, code, user, uri, message;
    int64_t expires_in, interval;
};

device_read read_device(const std::string &body) {
    nimbus_device dev{};
    char msg[NIMBUS_MSG_SIZE] = "stale";
    device_read d{};
    d.rc = nimbus_parse_device(body.data(), body.size(), &dev, msg, sizeof msg);
    d.msg = msg;
    if (dev.device_code) {
        d.code = dev.device_code;
        d.user = dev.user_code;
        d.uri = dev.verification_uri;
        d.message = dev.message;
    }
    d.expires_in = dev.expires_in;
    d.interval = dev.interval;
    nimbus_device_free(&dev);
    return d;
}

std::string device_body(const std::string &tail) {
    return R"({"device_code":"DC-1","user_code":"ABCD-EFGH",)"
           R"("verification_uri":"https://microsoft.com/devicelogin","expires_in":900)" +
           tail + "}";
}

} // namespace

TEST(SignInSteps, AuthorizeAddressIsBuiltWithoutARequest) {
    answer a = grant(kSettings, nullptr, authorize_json("st&=+ é", kChallenge));
    ASSERT_EQ(a.rc, NIMBUS_OK) << a.error;
    EXPECT_EQ(a.out, "{\"authorize_url\":\"" + token_base() +
                         "authorize?client_id=client%201%26x&response_type=code"
                         "&redirect_uri=http%3A%2F%2Flocalhost%3A8914%2F"
                         "&scope=offline_access%20Files.Read.All&state=st%26%3D%2B%20%C3%A9"
                         "&code_challenge=" +
                         kChallenge +
                         "&code_challenge_method=S256&response_mode=query"
                         "&prompt=select_account\"}");
    EXPECT_EQ(a.error, "");
    token_server srv;
    EXPECT_EQ(grant(kPublic, &srv.io, authorize_json("s", kChallenge)).rc, NIMBUS_OK);
    EXPECT_EQ(srv.posts + srv.gets, 0);

    // Only an S256 challenge; every part required; a refused grant names it.
    for (const std::string &bad : {std::string(42, 'C'), std::string(44, 'C'),
                                   std::string(42, 'C') + "=", std::string(42, 'C') + "+"}) {
        a = grant(kSettings, nullptr, authorize_json("s", bad));
        EXPECT_EQ(a.rc, NIMBUS_E_INVALID) << bad;
        EXPECT_EQ(a.error, "the grant's code_challenge is not an S256 challenge");
        EXPECT_EQ(a.out, "");
    }
    a = grant(kSettings, nullptr, authorize_json("", kChallenge));
    EXPECT_EQ(a.rc, NIMBUS_E_INVALID);
    EXPECT_EQ(a.error, "the grant's state is not a non-empty string");
    a = grant(kSettings, nullptr,
              R"({"grant_type":"authorization_code","state":"s","code_challenge":")" + kChallenge +
                  "\"}");
    EXPECT_EQ(a.error, "the grant has no redirect_uri");
    // A non-public client still needs its secret, even for the address.
    a = grant(R"({"ClientId":"c"})", nullptr, authorize_json("s", kChallenge));
    EXPECT_EQ(a.rc, NIMBUS_E_INVALID);
    EXPECT_EQ(a.error, "ClientSecret is required");

    // Too small a buffer: the answer waits in nimbus_result_json().
    std::string whole = grant(kSettings, nullptr, authorize_json("s", kChallenge)).out;
    a = grant(kSettings, nullptr, authorize_json("s", kChallenge),
              static_cast<int32_t>(whole.size()));
    EXPECT_EQ(a.rc, NIMBUS_E_BUFFER);
    EXPECT_EQ(a.out, "");
    EXPECT_EQ(std::string(nimbus_result_json()), whole);
    EXPECT_EQ(grant(kSettings, nullptr, authorize_json("s", kChallenge),
                    static_cast<int32_t>(whole.size() + 1))
                  .out,
              whole);
}

TEST(SignInSteps, DeviceAuthorizationRequestAndAnswer) {
    token_server srv;
    srv.scripted = true;
    srv.body = device_body(R"(,"interval":7,"message":"To sign in,\r\nuse a \"browser\".\t")");
    // A secret is held but never sent to the device-code endpoint.
    answer a = grant(kSettings, &srv.io, kDevice);
    ASSERT_EQ(a.rc, NIMBUS_OK) << a.error;
    EXPECT_EQ(a.out, R"({"device_code":"DC-1","user_code":"ABCD-EFGH",)"
                     R"("verification_uri":"https://microsoft.com/devicelogin","expires_in":900,)"
                     R"("interval":7,"message":"To sign in,  use a \"browser\". "})");
    EXPECT_EQ(srv.last_url(), token_base() + "devicecode");
    EXPECT_EQ(srv.last_body(), "client_id=client%201%26x&scope=offline_access%20Files.Read.All");
    EXPECT_EQ(srv.last_type(), "application/x-www-form-urlencoded");
    EXPECT_EQ(srv.posts, 1);
    EXPECT_EQ(srv.frees, 1);

    // Refusals are mapped as at the token endpoint; the device code never shows.
    srv.status = 400;
    srv.body = R"({"error":"invalid_client","error_description":"AADSTS7000218: public flows"})";
    a = grant(kPublic, &srv.io, kDevice);
    EXPECT_EQ(a.rc, NIMBUS_E_AUTH);
    EXPECT_NE(a.error.find("AADSTS7000218: public flows"), std::string::npos) << a.error;
    srv.status = 503;
    srv.body = "busy";
    a = grant(kPublic, &srv.io, kDevice);
    EXPECT_EQ(a.rc, NIMBUS_E_UNAVAILABLE);
    EXPECT_EQ(a.error, "devicecode: " + token_base() + "devicecode answered HTTP 503: busy");
    srv.status = 200;
    srv.body = device_body(R"(,"interval":0)");
    a = grant(kPublic, &srv.io, kDevice);
    EXPECT_EQ(a.rc, NIMBUS_E_FAILED);
    EXPECT_EQ(a.error,
              "the device authorization's interval is not a number of seconds from 1 to 600");
    EXPECT_EQ(grant(kPublic, nullptr, kDevice).rc, NIMBUS_E_INVALID);
}

TEST(DeviceAnswer, ChecksEveryField) {
    device_read d = read_device(device_body(""));
    EXPECT_EQ(d.rc, NIMBUS_OK);
    EXPECT_EQ(d.interval, 5); // absent: the protocol's default
    EXPECT_EQ(d.message,
              "To sign in, open https://microsoft.com/devicelogin and enter the code ABCD-EFGH.");

    // Limits at the limit and one past it.
    EXPECT_EQ(read_device(device_body(R"(,"interval":600)")).interval, 600);
    EXPECT_EQ(read_device(device_body(R"(,"interval":601)")).rc, NIMBUS_E_FAILED);
    std::string body = device_body("");
    EXPECT_EQ(read_device(body.replace(body.find("900"), 3, "86400")).expires_in, 86400);
    body = device_body("");
    d = read_device(body.replace(body.find("900"), 3, "86401"));
    EXPECT_EQ(d.msg,
              "the device authorization's expires_in is not a number of seconds from 1 to 86400");
    std::string m2048(2048, 'm');
    EXPECT_EQ(read_device(device_body(",\"message\":\"" + m2048 + "\"")).message, m2048);
    d = read_device(device_body(",\"message\":\"" + m2048 + "m\""));
    EXPECT_EQ(d.msg, "the device authorization's message is longer than 2048 bytes");
    body = device_body("");
    d = read_device(body.replace(body.find("DC-1"), 4, std::string(8193, 'd')));
    EXPECT_EQ(d.msg, "the device authorization's device_code is longer than 8192 bytes");
    body = device_body("");
    EXPECT_EQ(read_device(body.replace(body.find("DC-1"), 4, std::string(8192, 'd'))).rc,
              NIMBUS_OK);

    struct fault {
        std::string body, msg;
    } faults[] = {
        {"[1]", "the device authorization is not a JSON object"},
        {"{", "the device authorization is not a JSON object"},
        {R"({"user_code":"A"})", "the device authorization has no device_code"},
        {R"({"device_code":7})",
         "the device authorization's device_code is not a non-empty string"},
        {R"({"device_code":"a\u0000b"})",
         "the device authorization's device_code is not a non-empty string"},
        {R"({"device_code":"D","user_code":"A\nB"})",
         "the device authorization's user_code holds a control character"},
        {R"({"device_code":"D","user_code":"A","verification_uri":"http://x/"})",
         "the device authorization's verification_uri is not an https address"},
        {R"({"device_code":"D","user_code":"A","verification_uri":"https:///x"})",
         "the device authorization's verification_uri is not an https address"},
        {R"({"device_code":"D","user_code":"A","verification_uri":"https://x","expires_in":"900"})",
         "the device authorization's expires_in is not a number of seconds from 1 to 86400"},
        {device_body(R"(,"interval":5.0)"),
         "the device authorization's interval is not a number of seconds from 1 to 600"},
        {device_body(R"(,"message":["x"])"),
         "the device authorization's message is not a non-empty string"},
    };
    for (const fault &f : faults) {
        d = read_device(f.body);
        EXPECT_EQ(d.rc, NIMBUS_E_FAILED) << f.body;
        EXPECT_EQ(d.msg, f.msg) << f.body;
        EXPECT_EQ(d.code, "") << f.body;
    }
}
