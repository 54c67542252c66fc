// Graph error envelopes: nimbus_parse_error on any bytes, checked against a
// direct reading of the document, and the status mapping of what it found.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "fuzz_check.h"
#include "graph/graph.h"

namespace {

// A NUL-terminated text of fewer than size bytes, with the guard bytes behind
// the buffer untouched.
void check_text(const std::vector<char> &buf, size_t size) {
    for (size_t i = size; i < buf.size(); i++)
        CHECK(buf[i] == 'Z');
    if (size > 0)
        CHECK(strnlen(buf.data(), size) < size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *body = reinterpret_cast<const char *>(data);
    size_t code_size = size > 0 ? data[size - 1] % 12 : 0;
    if (code_size == 11)
        code_size = NIMBUS_CODE_SIZE;
    size_t msg_size = size > 1 ? data[size - 2] % 40 : NIMBUS_MSG_SIZE;
    std::vector<char> code(code_size + 8, 'Z');
    std::vector<char> msg(msg_size + 8, 'Z');
    if (msg_size > 0)
        msg[0] = '\0';
    int rc = nimbus_parse_error(body, size, code.data(), code_size, msg.data(), msg_size);
    check_text(code, code_size);
    check_text(msg, msg_size);
    CHECK(code_size == 0 || rc == 0 || code[0] == '\0');

    // What the envelope holds, read directly.
    // Read as the library reads every answer of the service: a text that
    // is not well-formed UTF-8 is repaired, or null when it addresses something.
    nimbus_doc_guard guard{nullptr};
    yyjson_read_err err{};
    yyjson_doc *doc =
        nimbus_graph_read(&guard, const_cast<char *>(body), size, false, nullptr, &err);
    yyjson_val *root = yyjson_doc_get_root(doc);
    CHECK((rc == 0) == yyjson_is_obj(root));
    if (rc != 0) {
        // The one failure message, cut to the buffer.
        std::string want = "the answer is not a JSON object";
        if (msg_size > 0)
            CHECK(want.substr(0, msg_size - 1) == msg.data());
    } else if (code_size > 0) {
        yyjson_val *env = yyjson_obj_get(root, "error");
        yyjson_val *c = yyjson_is_obj(env) ? yyjson_obj_get(env, "code") : nullptr;
        if (yyjson_is_str(c) && yyjson_get_len(c) > 0) {
            size_t n = yyjson_get_len(c) < code_size - 1 ? yyjson_get_len(c) : code_size - 1;
            CHECK(std::memcmp(code.data(), yyjson_get_str(c), n) == 0 && code[n] == '\0');
        } else {
            CHECK(code[0] == '\0');
        }
    }

    // A locked folder's refusal is a 400 whose body is an envelope.
    bool locked = nimbus_locked_folder(400, body, size);
    CHECK(!locked ||
          (rc == 0 && (code_size < 15 || std::strcmp(code.data(), "invalidRequest") == 0)));
    CHECK(!nimbus_locked_folder(403, body, size));

    // Whatever was found maps to one of the result codes with a bounded text.
    long status = size > 2 ? static_cast<long>(data[0]) * 3 - 100 + data[1] % 4 * 100 : 0;
    std::vector<char> told(msg.begin(), msg.end());
    int mapped = nimbus_map_graph(status, code_size > 0 ? code.data() : nullptr,
                                  msg_size > 0 ? told.data() : nullptr, msg.data(), msg_size);
    check_text(msg, msg_size);
    CHECK(mapped == NIMBUS_OK || mapped == NIMBUS_E_AUTH || mapped == NIMBUS_E_NOT_FOUND ||
          mapped == NIMBUS_E_THROTTLED || mapped == NIMBUS_E_UNAVAILABLE ||
          mapped == NIMBUS_E_FAILED);
    return 0;
}
