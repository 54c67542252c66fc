// Host boundary: result publication, the handler record and request runner,
// and the service exports.
#ifndef NIMBUS_HOST_H
#define NIMBUS_HOST_H

#include "nimbus.h"

// Sets the calling thread's error text and result JSON.
void nimbus_publish(int code, const char *error, const char *result);

namespace nimbus {
// The constant handler record that hvtab_get hands out.
extern const ::nimbus_handler nimbus_handler;
} // namespace nimbus

#endif // NIMBUS_HOST_H
