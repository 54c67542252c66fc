// Who may use the MediaServer and what a request may carry: the networks of
// --dlna-allow, the callbacks and counts of event subscriptions, and the
// encodings a SOAP body may come in, the root's other names and the friendly
// name a host may give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "descriptions.h"
#include "friendly_name.h"
#include "gena.h"
#include "networks.h"
#include "soap.h"

namespace {

dlna::ip_address addr(const char *text) {
    dlna::ip_address a;
    EXPECT_TRUE(dlna::parse_address(text, a)) << text;
    return a;
}

TEST(DlnaNetworks, ReadsCidrsStrictlyAndMatchesPeers) {
    std::vector<dlna::network> nets;
    ASSERT_EQ(
        dlna::parse_networks("192.168.1.0/24,10.0.0.7,fd00::/8,::1,::ffff:172.16.0.0/108", nets),
        "");
    ASSERT_EQ(nets.size(), 5u);
    EXPECT_EQ(dlna::to_string(nets[1]), "10.0.0.7/32");
    EXPECT_EQ(dlna::to_string(nets[3]), "::1/128");
    EXPECT_EQ(dlna::to_string(nets[4]), "172.16.0.0/12"); // mapped: compared as IPv4
    for (const char *in : {"192.168.1.0", "192.168.1.255", "10.0.0.7", "fd12::5", "::1",
                           "::ffff:192.168.1.9", "172.31.255.255"})
        EXPECT_TRUE(dlna::contains_any(nets, addr(in))) << in;
    for (const char *out : {"192.168.2.1", "10.0.0.8", "fe80::1", "::2", "172.32.0.0", "0.0.0.0"})
        EXPECT_FALSE(dlna::contains_any(nets, addr(out))) << out;

    // Prefixes at their bounds, and one past.
    EXPECT_EQ(dlna::parse_networks("0.0.0.0/0,1.2.3.4/32,::/0,::1/128", nets), "");
    EXPECT_TRUE(dlna::contains_any({nets[0]}, addr("203.0.113.9")));
    EXPECT_FALSE(dlna::contains_any({nets[0]}, addr("::1"))); // families never mix
    for (const char *bad : {"",
                            ",",
                            "10.0.0.0/8,",
                            ",10.0.0.0/8",
                            "10.0.0.0/33",
                            "::/129",
                            "10.0.0.0/",
                            "10.0.0.0/08",
                            "10.0.0.0/-1",
                            "10.0.0.0/8/8",
                            "10.0.0.1/8",
                            "10.0.0.0 /8",
                            " 10.0.0.0/8",
                            "10.0.0.0/8, 10.1.0.0/16",
                            "010.0.0.0/8",
                            "10.0.0/8",
                            "10.0.0.256",
                            "1.2.3.4.5",
                            "[::1]",
                            "fe80::1%eth0",
                            "::ffff:10.0.0.0/95",
                            "example.org",
                            "10.0.0.0/8\n"})
        EXPECT_NE(dlna::parse_networks(bad, nets), "") << bad;
    EXPECT_NE(dlna::parse_networks(std::string("10.0.0.0/8\0", 11), nets), "");
    std::string many;
    for (int i = 0; i < 64; i++)
        many += (i ? ",10.0.0." : "10.0.0.") + std::to_string(i);
    EXPECT_EQ(dlna::parse_networks(many, nets), "");
    EXPECT_NE(dlna::parse_networks(many + ",10.0.1.0/24", nets), "");
    EXPECT_EQ(dlna::parse_networks("192.168.1.5/24", nets).find("192.168.1.0/24") ==
                  std::string::npos,
              false); // says which network was meant

    const unsigned char mask[16] = {255, 255, 252, 0};
    EXPECT_EQ(dlna::to_string(dlna::network_of(addr("192.168.7.9"), mask)), "192.168.4.0/22");
}

TEST(DlnaGena, CallbacksMustNameTheSubscriberItself) {
    dlna::ip_address me = addr("192.168.1.20"), me6 = addr("fd00::20");
    for (const char *ok :
         {"<http://192.168.1.20:49152/evt>", "<http://192.168.1.20/>", "<http://192.168.1.20>",
          "<http://192.168.1.20:1/a><http://192.168.1.20:2/b>", "<http://192.168.1.20:65535?x#y>"})
        EXPECT_TRUE(dlna::callbacks_ok(ok, me)) << ok;
    EXPECT_TRUE(dlna::callbacks_ok("<http://[fd00::20]:8080/e>", me6));
    EXPECT_TRUE(dlna::callbacks_ok("<http://[::ffff:192.168.1.20]:8080/e>", me));
    for (const char *bad : {"",
                            "http://192.168.1.20/",
                            "<http://192.168.1.21/>",
                            "<http://192.168.1.20/><http://10.0.0.1/>",
                            "<http://192.168.1.20@10.0.0.1/>",
                            "<http://10.0.0.1#@192.168.1.20/>",
                            "<http://192.168.1.20:65536/>",
                            "<http://192.168.1.20:/>",
                            "<http://192.168.1.20:8x/>",
                            "<https://192.168.1.20/>",
                            "<HTTP://192.168.1.20/>",
                            "< http://192.168.1.20/>",
                            "<http://localhost/>",
                            "<http://192.168.001.020/>",
                            "<http://3232235796/>",
                            "<http://[192.168.1.20]/>",
                            "<http://[fd00::20/>",
                            "<http://192.168.1.20/",
                            "<http://192.168.1.20%2f/>",
                            "<>"})
        EXPECT_FALSE(dlna::callbacks_ok(bad, me)) << bad;
    EXPECT_FALSE(dlna::callbacks_ok(nullptr, me));
    EXPECT_FALSE(dlna::callbacks_ok("<http://[fd00::20]/>", me));
}

TEST(DlnaGena, CountsSubscriptionsByAddressAndInAllUntilTheyLapse) {
    dlna::subscriptions subs;
    dlna::ip_address a = addr("10.0.0.1"), b = addr("10.0.0.2");
    for (size_t i = 0; i < dlna::subscriptions::per_address; i++) {
        ASSERT_TRUE(subs.admit(a, 0));
        subs.granted("a" + std::to_string(i), a, i == 0 ? 100 : 1000);
    }
    EXPECT_FALSE(subs.admit(a, 0)); // the 17th
    EXPECT_TRUE(subs.admit(b, 0));
    subs.granted("a3", b, 1000); // a renewal from elsewhere keeps its owner
    EXPECT_EQ(subs.held(a, 0), 16u);
    subs.dropped("a3");
    EXPECT_TRUE(subs.admit(a, 0));
    subs.granted("a3", a, 1000);
    EXPECT_FALSE(subs.admit(a, 99));
    EXPECT_TRUE(subs.admit(a, 100)); // "a0" lapsed
    EXPECT_EQ(subs.held(a, 100), 15u);

    dlna::subscriptions all;
    for (size_t i = 0; i < dlna::subscriptions::total; i++) {
        dlna::ip_address p = addr(("10.1." + std::to_string(i / 16) + ".1").c_str());
        ASSERT_TRUE(all.admit(p, 0)) << i;
        all.granted("s" + std::to_string(i), p, 50);
    }
    EXPECT_FALSE(all.admit(addr("10.2.0.1"), 49));
    EXPECT_TRUE(all.admit(addr("10.2.0.1"), 50));
    EXPECT_EQ(all.size(50), 0u);
}

TEST(DlnaSoap, OnlyUtf8BodiesPass) {
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope/>";
    EXPECT_TRUE(dlna::utf8_document(body.data(), body.size()));
    for (std::string ok : {std::string("<a/>"), std::string("\xEF\xBB\xBF<a/>"),
                           std::string(" \r\n<a/>"), std::string("<?xml version='1.0'?><a/>"),
                           std::string("<?xml version=\"1.0\" encoding = 'UTF-8' ?><a/>")})
        EXPECT_TRUE(dlna::utf8_document(ok.data(), ok.size())) << ok;
    for (std::string bad :
         {std::string(), std::string("\xFF\xFE<\0a\0/\0>\0", 10), std::string("\xFE\xFF\0<\0a", 6),
          std::string("<\0a\0/\0>\0", 8), std::string("<a>\0</a>", 8), std::string("Lo\xA7\x94"),
          std::string("\xEF\xBB\xBF\xFF\xFE<a/>"), std::string("a<b/>"),
          std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>"),
          std::string("<?xml version=\"1.0\" encoding=\"UTF-7\"?><a/>"),
          std::string("<?xml version=\"1.0\" encoding=\"utf-8x\"?><a/>"),
          std::string("<?xml version=\"1.0\" encoding=utf-8?><a/>"),
          std::string("<?xml version=\"1.0\" encoding=\"utf-8\" encoding=\"ucs-4\"?><a/>"),
          std::string("<?xml version=\"1.0\" encoding=\"utf-8\"") + std::string(600, ' ') + "?>"})
        EXPECT_FALSE(dlna::utf8_document(bad.data(), bad.size())) << bad;

    // Past the byte checks, the parsed document may hold no document type.
    std::string doctype =
        "<!DOCTYPE s><s:Envelope xmlns:s=\"x\"><s:Body><u:Browse xmlns:u=\"y\"/></s:Body>"
        "</s:Envelope>";
    EXPECT_FALSE(dlna::envelope_ok(doctype.data(), doctype.size(), "\"urn:x#Browse\""));
    EXPECT_TRUE(dlna::envelope_ok(doctype.data() + 12, doctype.size() - 12, "\"urn:x#Browse\""));
}

} // namespace

TEST(DlnaSoap, AnEmptyObjectIdIsTheRoot) {
    dlna::browse_request r;
    r.path = "/x";
    EXPECT_EQ(dlna::read_browse("", "BrowseMetadata", "0", "0", r), 0);
    EXPECT_EQ(r.path, "/");
    EXPECT_EQ(dlna::read_browse("", "BrowseDirectChildren", "", "", r), 0);
    EXPECT_EQ(r.path, "/");
}

TEST(DlnaDescription, FriendlyNameIsPrintableUtf8OfAtMost64Bytes) {
    EXPECT_TRUE(dlna::friendly_name_ok("Living room \"NAS\" & <more>"));
    EXPECT_TRUE(dlna::friendly_name_ok(std::string(64, 'a')));
    for (const std::string &bad :
         {std::string(), std::string(65, 'a'), std::string("tab\there"), std::string("nl\n"),
          std::string("del\x7f"), std::string("c1\xC2\x85"), std::string("cut\xC3"),
          std::string("over\xC0\xAF"), std::string("nul\0x", 5)})
        EXPECT_FALSE(dlna::friendly_name_ok(bad)) << bad;
    std::string umlauts;
    for (int i = 0; i < 32; i++)
        umlauts += "\xC3\xBC"; // 64 bytes of "ü"
    EXPECT_TRUE(dlna::friendly_name_ok(umlauts));
    EXPECT_FALSE(dlna::friendly_name_ok(umlauts + "a"));
    // Escaped in the description, and whole: a name of 64 bytes is not cut.
    std::string d = dlna::device_description("\"q\" & " + std::string(58, 'x'), "u");
    EXPECT_NE(
        d.find("<friendlyName>&quot;q&quot; &amp; " + std::string(58, 'x') + "</friendlyName>"),
        std::string::npos);
}
