// The host's transport table, its process-wide selection, the one HTTP
// exchange through it, and the in-process fake transport.
#ifndef NIMBUS_TRANSPORT_H
#define NIMBUS_TRANSPORT_H

#include <cstddef>
#include <cstdint>

#include "nimbus.h"

constexpr size_t NIMBUS_URL_MAX = 8192;
// The content type of a POST body (the token grant's form).
constexpr const char *NIMBUS_FORM_TYPE = "application/x-www-form-urlencoded";

// One HTTP answer, owned by the library; a zeroed record is empty. The body
// of an answer is followed by its NUL and YYJSON_PADDING_SIZE more zero
// bytes, so it may be parsed in place.
struct nimbus_resp {
    int32_t status;
    char *body;
    size_t len;
};

void nimbus_resp_free(nimbus_resp *resp);

// One exchange: POST when body is non-null (as content_type, the form type
// when null), else GET (with the bearer marker
// and token appended when access_token is non-empty). 0 when an answer (any
// status) is in resp; -1 with a message when none arrived.
int nimbus_http(const nimbus_io *io, const char *url, const char *body, const char *content_type,
                const char *access_token, nimbus_resp *resp, char *msg, size_t size);

// The same with headers for a GET: lines "Name: value" joined by '\n',
// appended to the URL as header markers in front of the bearer marker; ""
// for none. Null when the host did not say its transport reads them
// ("HeaderMarkers" in the settings): the URL then goes as nimbus_http sends it. A name other than
// letters, digits and
// '-', or a value byte outside printable ASCII or a '#', is refused before
// the transport is called. The URL's own fragment, which HTTP never sends,
// is dropped then, so every marker the host finds is the library's.
int nimbus_http_with(const nimbus_io *io, const char *url, const char *body,
                     const char *content_type, const char *access_token, const char *headers,
                     nimbus_resp *resp, char *msg, size_t size);
// Whether headers (as above) are safe to put behind a marker.
bool nimbus_headers_ok(const char *headers);

// Copies the selected transport table into *out under the selection lock and
// returns 1; returns 0 (and zeroes *out) when no transport is selected.
int nimbus_io_current(nimbus_io *out);
// The built-in transport: none in this library.
const nimbus_io *nimbus_io_curl();
// Selects a copy of *io (null: the built-in transport) for the flat
// requests, under the selection lock.
void nimbus_io_select(const nimbus_io *io);
// The fake transport's constant table; its texts come from the standard heap.
const nimbus_io *nimbus_io_fake();

#endif // NIMBUS_TRANSPORT_H
