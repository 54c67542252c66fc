// The one road from the command line to a library request: the settings
// read (with --page-size applied), the transport built from the options with
// the rotation watch over it, and a refresh token the service rotated kept
// in the settings file. Every command that talks to the service opens one.
#ifndef NIMBUS_TOOLS_CONTEXT_H
#define NIMBUS_TOOLS_CONTEXT_H

#include "commands.h"
#include "curl_io.h"
#include "rotation.h"
#include "settings_file.h"

#include <memory>
#include <mutex>
#include <string>

namespace cli {

// The longest a gateway request pauses, in all, for the service's retries.
constexpr double kServeMaxWait = 5;

// The transport options of every command, from its command line.
curl_settings transport_settings(const options &o);

// How long a settings write waits for the lock, from the command line.
lock_wait settings_lock_wait(const options &o);

// What a request needs: the settings text and a selected transport. The
// curl transport stays alive (and selected) until this object goes away; a
// refresh token the service rotated meanwhile is stored before that (and
// earlier wherever keep_rotation() is called). Thread-safe once open.
class context {
  public:
    explicit context(const options &o) : o_(o) {}
    ~context();
    context(const context &) = delete;
    context &operator=(const context &) = delete;

    // On failure prints the reason and returns its exit status; 0 when ready.
    // With catch_ctrl_c, Ctrl-C ends the request in hand (see stopped());
    // a server that takes its signals itself passes false.
    int open(bool catch_ctrl_c = true);

    // What the library gets (the stored settings with --page-size applied).
    const std::string &settings() const { return settings_; }
    const std::string &path() const { return path_; }
    const file_identity &identity() const { return identity_; }

    // After Ctrl-C the request in hand failed on purpose: say so once, stop.
    bool stopped() const;

    // The refresh token the service rotated last, when the settings file
    // does not hold it yet as far as this run knows ("" otherwise, and
    // always in the demo).
    std::string rotated() const;

    // Stores a rotated refresh token in the settings file, each one once,
    // into the file this run read (or the one a locked write of another run
    // left in its place). When another run stored its own rotation meanwhile,
    // that one stays. A failure prints one warning; the request's result
    // stands. Cheap when nothing rotated, so a server calls it after every
    // request.
    bool keep_rotation();

    // A refused grant is not mended by retrying: say how to get a new token.
    void explain_failure(int rc);

    // The fake transport cannot print its exchanges; say what it served.
    void after_request();

  private:
    const options &o_;
    std::unique_ptr<curl_transport> curl_;
    std::unique_ptr<rotation_watch> watch_;
    std::string settings_;
    std::string path_;
    file_identity identity_;
    mutable std::mutex keep_lock_;
    std::string known_; // the refresh token the file holds, as far as this run knows
    std::string tried_; // the last rotated token a store was tried for
    bool explained_ = false;
    int seen_ = 0;
    int seen_token_ = 0;
};

} // namespace cli

#endif
