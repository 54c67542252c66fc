// Host boundary: result publication, the handler record and request runner,
// and the service exports.
#ifndef NIMBUS_HOST_H
#define NIMBUS_HOST_H

#include <cstddef>

#include "nimbus.h"
#include "text/text.h"

// Sets the calling thread's error text and result JSON.
void nimbus_publish(int code, const char *error, const char *result);
// As nimbus_publish, but takes over result (a malloc-family text, or null for
// the empty text) instead of copying it.
void nimbus_publish_owned(int code, const char *error, char *result);

// Reads the stream entry argument (a JSON string, or an object tried by "id",
// "path", "locator", "backend_id") into an owned target text; otherwise
// NIMBUS_E_NOT_FOUND with the entry's message.
int nimbus_entry_target(const char *entry, char **target, char *msg, size_t size);

// The runner's last step: turns a code plus the message (failure) or the
// result buffer (success) into the caller's answer. msg holds
// NIMBUS_MSG_SIZE bytes; what names the operation in a failure that carries
// no message of its own.
int nimbus_finish(const char *what, int code, nimbus_buf *res, char *msg, const nimbus_cfg *cfg,
                  const char *extra, char *out, int32_t out_len);

struct nimbus_shared;
// Publishes the outcome of a handle or sign-in call: on failure the
// message, one line, secrets masked (with shared, also every token the
// handle holds or has retired); memory exhaustion reported with its own
// code wherever the steps before ran out. Returns the published code.
int nimbus_call_done(int code, char *msg, const nimbus_cfg *cfg, const char *token,
                     nimbus_shared *shared = nullptr);

namespace nimbus {
// The constant handler record that hvtab_get hands out.
extern const ::nimbus_handler nimbus_handler;
} // namespace nimbus

#endif // NIMBUS_HOST_H
