// What `nimbus serve` reads from clients and the service: every path it
// accepts is one the library accepts too, the service's header lines pass
// on only as plain text, encoding and decoding round-trip,
// query values hold no NUL, page numbers stay in range, an error page's
// detail holds only plain tokens, and the Host check never lets a foreign
// port through.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "serve/request.h"
#include "service_text.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Two bytes of port, then the text up to the first NUL.
    if (size < 2)
        return 0;
    uint16_t port = static_cast<uint16_t>(data[0] << 8 | data[1]);
    std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
    text = text.c_str();

    std::string path;
    if (cli::decode_path(text.c_str(), &path)) {
        CHECK(!path.empty() && path[0] == '/' && std::strlen(path.c_str()) == path.size());
        std::string drive =
            path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
        CHECK(nimbus_path_ok(drive.c_str()) == 1);
        std::string again;
        CHECK(cli::decode_path(cli::url_encode(path, true).c_str(), &again) && again == path);
    }

    std::string value;
    if (cli::decode_query(text.c_str(), &value)) {
        CHECK(value.size() <= text.size() && std::strlen(value.c_str()) == value.size());
        std::string again;
        CHECK(cli::decode_query(cli::url_encode(value, false).c_str(), &again) && again == value);
        // With "+" kept, the same value but for each raw "+" or space.
        std::string kept;
        CHECK(cli::decode_query(text.c_str(), &kept, true) && kept.size() == value.size());
        for (size_t i = 0; i < kept.size(); i++)
            CHECK(kept[i] == value[i] || (kept[i] == '+' && value[i] == ' '));
    }

    // An error page's small print: only plain tokens of the service's answer.
    std::string detail = cli::service_detail(text);
    CHECK(detail.size() <= 5 + 3 + 7 + 128 + 13 + 128);
    for (char c : detail)
        CHECK(c != '"' && c != '<' && c != '>' && c != '&' && c != '{' &&
              static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f);
    size_t page = 0;
    if (cli::page_number(text.c_str(), &page))
        CHECK(page >= 1 && page <= 1000000 && std::to_string(page).size() <= text.size());

    // The service's header lines pass on only as plain text.
    long long first = -1, last = -1;
    if (cli::content_range(text, &first, &last))
        CHECK(text.compare(0, 6, "bytes ") == 0 && first >= 0 && last >= first &&
              text.find('/') != std::string::npos);
    else
        CHECK(first == -1 && last == -1);
    std::string name, header;
    if (cli::header_line(text, 1024, &name, &header)) {
        CHECK(!name.empty() && name.find(':') == std::string::npos && header.size() <= 1024);
        for (unsigned char c : name + header)
            CHECK(c >= 0x20 && c != 0x7f);
        for (char c : name)
            CHECK(c < 'A' || c > 'Z');
    }

    if (cli::loopback_host(text.c_str(), port)) {
        std::string suffix = ":" + std::to_string(port);
        CHECK(port == 80 ||
              (text.size() > suffix.size() &&
               text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0));
    }
    return 0;
}
