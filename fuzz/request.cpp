// Arbitrary bytes as the fake transport's answers (token endpoint, two
// children pages, one item) behind nimbus_list, nimbus_stream_url and
// nimbus_validate. Input: two control bytes (statuses, folder), then up to
// four answer bodies separated by "\n@@\n".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <yyjson.h>

#include "nimbus.h"

namespace {

const char *const kToken = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
const char *const kSettings =
    "{\"ClientId\":\"fz-client\",\"ClientSecret\":\"fz-secret\",\"refresh_token\":\"fz-rt\"}";
const int kStatus[8] = {200, 200, 401, 404, 500, 206, 202, 429};
const char *const kFolders[4] = {nullptr, "/", "/Music", "ID1"};
const char *const kFolderUrls[4] = {
    "https://graph.microsoft.com/v1.0/me/drive/root/children?$top=200",
    "https://graph.microsoft.com/v1.0/me/drive/root/children?$top=200",
    "https://graph.microsoft.com/v1.0/me/drive/root:/Music:/children?$top=200",
    "https://graph.microsoft.com/v1.0/me/drive/items/ID1/children?$top=200"};
const char *const kPage2 = "https://graph.microsoft.com/v1.0/me/drive/root/children?p=2";
const char *const kItem = "https://graph.microsoft.com/v1.0/me/drive/items/X1";

bool json_object(const char *text) {
    yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
    bool ok = doc && yyjson_is_obj(yyjson_doc_get_root(doc));
    yyjson_doc_free(doc);
    return ok;
}

// Success: a JSON object and no error. A success that did not fit: the same,
// with the buffer emptied. Failure: a message and no result.
void check(int rc, const char *out) {
    const char *result = nimbus_result_json();
    const char *error = nimbus_last_error();
    if (rc == NIMBUS_OK) {
        if (*error || !json_object(result) || (out && std::strcmp(out, result) != 0))
            std::abort();
    } else if (rc == NIMBUS_E_BUFFER && *result) {
        if (std::strcmp(error, "output buffer too small") != 0 || !json_object(result) ||
            (out && *out))
            std::abort();
    } else {
        if (!*error || *result || (out && *out && !json_object(out)))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const uint8_t control = data[0];
    const int folder = data[1] & 3;
    std::string rest(reinterpret_cast<const char *>(data) + 2, size - 2);
    std::string parts[4];
    for (int i = 0, pos = 0; i < 4; i++) {
        size_t sep = rest.find("\n@@\n", pos);
        if (sep == std::string::npos) {
            parts[i] = rest.substr(pos);
            pos = static_cast<int>(rest.size());
        } else {
            parts[i] = rest.substr(pos, sep - pos);
            pos = static_cast<int>(sep + 4);
        }
    }

    nimbus_forget_tokens();
    nimbus_fake_reset();
    nimbus_use_fake();
    nimbus_fake_set("POST", kToken, (control & 0x40) ? 400 : 200, parts[0].c_str());
    nimbus_fake_set("GET", kFolderUrls[folder], kStatus[control & 7], parts[1].c_str());
    nimbus_fake_set("GET", kPage2, kStatus[(control >> 3) & 7], parts[2].c_str());
    nimbus_fake_set("GET", kItem, (control & 0x80) ? 401 : 200, parts[3].c_str());

    // Twice each: the second call may start from a cached token.
    for (int round = 0; round < 2; round++) {
        char out[512];
        check(nimbus_list(kSettings, kFolders[folder], nullptr, 0), nullptr);
        check(nimbus_list(kSettings, kFolders[folder], out, sizeof out), out);
        check(nimbus_stream_url(kSettings, "\"X1\"", out, sizeof out), out);
        check(nimbus_validate(kSettings, nullptr, 0), nullptr);
    }
    nimbus_forget_tokens();
    nimbus_fake_reset();
    return 0;
}
