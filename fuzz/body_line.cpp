// The first printable line of a body: at most 160 printable ASCII
// characters, without trailing spaces, NUL-terminated within the size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "text/text.h"

namespace {

void check_size(const std::string &text, size_t size) {
    std::vector<char> out(size + 16, 'Z');
    nimbus_body_line(text.c_str(), out.data(), size);
    for (size_t i = size; i < out.size(); i++)
        CHECK(out[i] == 'Z');
    if (size == 0)
        return;
    size_t n = strnlen(out.data(), size);
    CHECK(n < size && n <= 160);
    for (size_t i = 0; i < n; i++)
        CHECK(out[i] >= 0x20 && out[i] <= 0x7E);
    CHECK(n == 0 || out[n - 1] != ' ');
    // Printable bytes of the first line stand where they were.
    size_t start = text.find_first_not_of("\r\n");
    if (start == std::string::npos)
        CHECK(n == 0);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(text[start + i]);
        CHECK(c != '\r' && c != '\n');
        CHECK(out[i] == (c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : ' '));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();
    size_t small = size == 0 ? 0 : data[0] % 200;
    check_size(text, small);
    check_size(text, NIMBUS_LINE_MSG);
    check_size(text, 1);
    check_size(text, 0);
    return 0;
}
