// Watches the token answers that pass through a transport table, so that the
// command can keep the refresh token the service rotated on a grant.
#ifndef NIMBUS_TOOLS_ROTATION_H
#define NIMBUS_TOOLS_ROTATION_H

#include <nimbus.h>

#include <mutex>
#include <string>

namespace cli {

// The token endpoint the library posts its grants to.
const char *token_url();

// A transport table that forwards every call to an inner one and reads the
// token endpoint's answers on the way back. Thread-safe.
class rotation_watch {
  public:
    explicit rotation_watch(const nimbus_io *inner);
    rotation_watch(const rotation_watch &) = delete;
    rotation_watch &operator=(const rotation_watch &) = delete;

    // The table to hand to the library; valid while this object lives.
    const nimbus_io *table() const { return &io_; }

    // The refresh token of the last successful grant answer ("" when none
    // carried one).
    std::string rotated() const;
    // The OAuth error code of the last refused grant ("" when none was refused).
    std::string refusal() const;

    // What the table's callbacks run; public for the C adapters only.
    const nimbus_io *inner() const { return inner_; }
    int post(const char *url, const char *body, const char *content_type, char **answer,
             int32_t *status, char **error);

  private:
    const nimbus_io *inner_;
    nimbus_io io_{};
    mutable std::mutex lock_;
    std::string rotated_;
    std::string refusal_;
};

} // namespace cli

#endif
