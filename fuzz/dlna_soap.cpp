// What the MediaServer reads from control points and users: the body guard
// holds its limit whatever the chunking, the envelope check never fails open
// on a nameless action or a body in another encoding, Browse's arguments
// give only canonical object ids, escaped text holds no markup, control
// character or broken UTF-8, a subscription's callbacks all name the
// subscriber, networks read back as they print, and a friendly name taken
// stands whole and escaped in the device description.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../tools/dlna/descriptions.h"
#include "../tools/dlna/didl.h"
#include "../tools/dlna/friendly_name.h"
#include "../tools/dlna/gena.h"
#include "../tools/dlna/networks.h"
#include "../tools/dlna/profiles.h"
#include "../tools/dlna/soap.h"
#include "fuzz_check.h"

namespace {

bool clean_xml_text(const std::string &s) {
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '"' || c == '\'')
            return false;
        if (c == '&' && s.compare(i, 4, "&lt;") != 0 && s.compare(i, 4, "&gt;") != 0 &&
            s.compare(i, 5, "&amp;") != 0 && s.compare(i, 6, "&quot;") != 0 &&
            s.compare(i, 6, "&apos;") != 0)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const char *text = reinterpret_cast<const char *>(data) + 1;
    size_t len = size - 1;

    // The body in chunks of 1 to 256 bytes, as the socket may deliver it,
    // repeated to reach past the limit.
    dlna::body_guard guard;
    size_t chunk = static_cast<size_t>(data[0]) + 1, total = 0;
    bool accepted = true;
    for (int round = 0; round < 8 && accepted; round++)
        for (size_t i = 0; i < len && accepted; i += chunk) {
            size_t n = len - i < chunk ? len - i : chunk;
            accepted = guard.feed(text + i, n);
            total += accepted ? n : 0;
        }
    CHECK(total <= dlna::max_body);
    CHECK(accepted != guard.refused());
    if (accepted && len > 0)
        CHECK(std::string(text, len).find("<!D") == std::string::npos &&
              std::string(text, len).find("<!d") == std::string::npos);

    // Four arguments separated by newlines; a missing one is absent.
    std::string input(text, len);
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t nl; fields.size() < 4 && (nl = input.find('\n', start)) != std::string::npos;
         start = nl + 1)
        fields.push_back(input.substr(start, nl - start));
    if (fields.size() < 4)
        fields.push_back(input.substr(start));
    const char *arg[4] = {nullptr, nullptr, nullptr, nullptr};
    for (size_t i = 0; i < fields.size(); i++)
        arg[i] = fields[i].c_str();
    dlna::browse_request req;
    if (dlna::read_browse(arg[0], arg[1], arg[2], arg[3], req) == 0) {
        CHECK(!req.path.empty() && req.path[0] == '/' &&
              std::strlen(req.path.c_str()) == req.path.size());
        // An empty ObjectID is the root's other name.
        CHECK(dlna::object_id(req.path) == (*arg[0] ? std::string(arg[0]) : std::string("0")));
        CHECK(!req.metadata || req.start == 0);
    }

    // The envelope check: the first line is the SOAPACTION header.
    size_t nl = input.find('\n');
    if (nl != std::string::npos) {
        std::string action = input.substr(0, nl);
        bool ok = dlna::envelope_ok(input.data() + nl + 1, input.size() - nl - 1, action.c_str());
        CHECK(!ok || action.find('#') != std::string::npos);
        CHECK(!ok || dlna::utf8_document(input.data() + nl + 1, input.size() - nl - 1));
    }
    if (dlna::utf8_document(input.data(), input.size()))
        CHECK(input.find('\0') == std::string::npos && input.compare(0, 2, "\xFF\xFE") != 0 &&
              input.compare(0, 2, "\xFE\xFF") != 0);

    // --dlna-allow: what parses prints as a network that parses to itself.
    std::vector<dlna::network> nets;
    if (dlna::parse_networks(input, nets).empty()) {
        CHECK(!nets.empty() && nets.size() <= dlna::max_networks);
        for (const dlna::network &n : nets) {
            dlna::network again;
            CHECK(dlna::parse_network(dlna::to_string(n), again).empty());
            CHECK(dlna::to_string(again) == dlna::to_string(n) && dlna::contains(n, n.base));
        }
    }
    // CALLBACK: accepted only when each <...> starts with the peer's URL.
    dlna::ip_address peer;
    dlna::parse_address("192.168.1.20", peer);
    std::string header = input.c_str(); // a header holds no NUL
    if (dlna::callbacks_ok(header.c_str(), peer)) {
        size_t lt = 0, urls = 0;
        while ((lt = header.find('<', lt)) != std::string::npos) {
            size_t gt = header.find('>', lt);
            std::string url = header.substr(lt + 1, gt - lt - 1);
            CHECK(url.compare(0, 7, "http://") == 0 &&
                  url.substr(0, url.find_first_of("/?#", 7)).find('@') == std::string::npos);
            lt = gt;
            urls++;
        }
        CHECK(urls > 0);
    }

    std::string escaped;
    dlna::xml_text(escaped, input);
    CHECK(clean_xml_text(escaped));
    if (dlna::friendly_name_ok(input)) {
        // Taken as it is: escaping replaces nothing, and the description
        // holds it whole.
        std::string plain;
        for (char c : input)
            plain += c == '&'    ? std::string("&amp;")
                     : c == '<'  ? std::string("&lt;")
                     : c == '>'  ? std::string("&gt;")
                     : c == '"'  ? std::string("&quot;")
                     : c == '\'' ? std::string("&apos;")
                                 : std::string(1, c);
        CHECK(!input.empty() && input.size() <= 64 && escaped == plain);
        CHECK(dlna::device_description(input, "u")
                  .find("<friendlyName>" + escaped + "</friendlyName>") != std::string::npos);
    }
    dlna::item it;
    it.path = "/" + input;
    it.title = input;
    it.mime = input;
    // The service's type and facts: the fourth protocolInfo field stays one
    // field of DLNA tokens whatever they hold, and the profile's limits hold.
    dlna::item media = it;
    media.mime = data[0] & 1 ? "audio/mp4" : data[0] & 2 ? "image/jpeg" : input;
    media.size = static_cast<int64_t>(data[0]) << (data[0] % 48);
    media.duration_ms = static_cast<int64_t>(len) - 8;
    media.width = media.height = static_cast<int>(data[0]) * 17;
    std::string fourth = dlna::content_features(media);
    CHECK(fourth == "*" || fourth.find_first_of(":, \"<>&") == std::string::npos);
    const char *pn = dlna::media_profile(media);
    CHECK(!pn || std::strncmp(pn, "JPEG_", 5) != 0 || (media.width > 0 && media.width <= 4096));
    std::string didl;
    dlna::didl_object(didl, it, input);
    std::string back;
    if (it.path.find('\0') == std::string::npos) // paths are C strings
        CHECK(dlna::object_path(dlna::object_id(it.path), back) && back == it.path);
    return 0;
}
