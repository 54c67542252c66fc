// A small file fetched whole (see small_fetch.h).
#include "serve/small_fetch.h"
#include "curl_io.h"

#include <nimbus.h>

#include <curl/curl.h>

#include <memory>

namespace cli {

namespace {

struct sink {
    small_fetch *out;
    size_t max;
};

size_t on_body(char *data, size_t size, size_t n, void *ctx) {
    auto *s = static_cast<sink *>(ctx);
    size_t bytes = size * n;
    if (bytes > s->max - s->out->body.size()) {
        s->out->too_large = true;
        return 0; // ends the transfer
    }
    try {
        s->out->body.append(data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

} // namespace

small_fetch fetch_small(const std::string &url, size_t max, const std::string &cacert,
                        const std::vector<std::string> &connect_to) {
    small_fetch out;
    std::unique_ptr<CURL, void (*)(CURL *)> h(curl_easy_init(), curl_easy_cleanup);
    if (!h) {
        out.error = "out of memory";
        return out;
    }
    curl_slist *list = nullptr;
    for (const std::string &rule : connect_to) {
        curl_slist *next = curl_slist_append(list, rule.c_str());
        if (!next) {
            curl_slist_free_all(list);
            out.error = "out of memory";
            return out;
        }
        list = next;
    }
    std::unique_ptr<curl_slist, void (*)(curl_slist *)> rules(list, curl_slist_free_all);
    sink s{&out, max};
    char message[CURL_ERROR_SIZE] = "";
    CURL *c = h.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, NIMBUS_USER_AGENT);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 3L);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, kSmallFetchSeconds);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max));
    if (!cacert.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, cacert.c_str());
    if (rules)
        curl_easy_setopt(c, CURLOPT_CONNECT_TO, rules.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &s);
    // A stop of the gateway ends the fetch rather than wait out its timeout.
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, end_when_interrupted);
    CURLcode rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &out.status);
    if (rc == CURLE_FILESIZE_EXCEEDED)
        out.too_large = true;
    if (out.too_large)
        out.error = "the file is larger than " + std::to_string(max) + " bytes";
    else if (rc != CURLE_OK)
        out.error = message[0] ? message : curl_easy_strerror(rc);
    else if (out.status != 200)
        out.error = "the service answered HTTP " + std::to_string(out.status);
    if (!out.ok())
        out.body.clear();
    return out;
}

} // namespace cli
