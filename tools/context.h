// The one road from the command line to the library: the settings read
// (with --page-size applied), the transport built from the options, ONE
// drive handle opened over both, and every refresh token the service
// rotates kept in the settings file. Every command that talks to the
// service opens one.
#ifndef NIMBUS_TOOLS_CONTEXT_H
#define NIMBUS_TOOLS_CONTEXT_H

#include "commands.h"
#include "curl_io.h"
#include "settings_file.h"

#include <nimbus.h>

#include <atomic>
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

// The settings text with "PageSize" first, so the library reads it before
// any stored one; without force a stored PageSize is kept. Text that is not
// a JSON object passes unchanged for the library to report.
std::string with_page_size(const std::string &settings, int size, bool force);
// settings with "HeaderMarkers": true in front (the command's transport reads
// the header markers); a text that is no JSON object as it was.
std::string with_header_markers(const std::string &settings);

// What a request needs: the drive handle, and the settings text and the
// selected transport for the flat exports (the --json answers). The
// transport and the handle stay alive until this object goes away. A
// refresh token the service rotates is stored in the settings file before
// the call that got it returns. Thread-safe once open: a server shares one
// among its threads.
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

    // The open drive (null before a successful open).
    nimbus_drive *drive() const { return drive_; }
    // What the flat exports get (the stored settings with --page-size applied).
    const std::string &settings() const { return settings_; }
    const std::string &path() const { return path_; }
    const file_identity &identity() const { return identity_; }

    // After Ctrl-C the request in hand failed on purpose: say so once, stop.
    bool stopped() const;

    // Stores a refresh token the service issued in the settings file, each
    // one once, into the file this run read (or the one a locked write of
    // another run left in its place). When another run stored its own
    // rotation meanwhile, that one stays. A failure prints one warning; the
    // request's result stands. The handle's rotation callback calls it; so
    // does validate with the token its answer names. Nothing is stored in
    // the demo. True when the token is in the file (or needs no store).
    bool keep_token(const std::string &token);

    // Whether the settings file now holds a refresh token other than the one
    // this run uses (or stored itself): someone signed in again. Never in the
    // demo.
    bool signed_in_again() const;
    // Whether token is the refresh token this run read, stored or tried to
    // store.
    bool own_token(const std::string &token) const;

    // Whether every token the handle rotated so far is in the settings file.
    // Tokens are stored as they arrive, so this only reports.
    bool keep_rotation() const;

    // A refused sign-in (NIMBUS_E_SIGNIN) is not mended by retrying: say,
    // once, how to get a new token.
    void explain_failure(int rc);

    // With --verbose in the demo (whose transport prints nothing): say what
    // it served since the last call.
    void after_request();

    // Whole seconds until the account's requests go again (curl_transport's
    // paused_for); 0 when they go now, and always in the demo.
    long paused_for() const;

    // What the transport table's callbacks run; public for the C adapters only.
    const nimbus_io *inner() const { return inner_; }
    void note(bool post, const char *url);

  private:
    const options &o_;
    std::unique_ptr<curl_transport> curl_;
    const nimbus_io *inner_ = nullptr; // the curl or demo transport
    nimbus_io io_{};                   // inner_, with each exchange noted
    nimbus_drive *drive_ = nullptr;
    std::string settings_;
    std::string path_;
    file_identity identity_;
    mutable std::mutex keep_lock_;
    std::string known_; // the refresh token the file holds, as far as this run knows
    std::string tried_; // the last token a store was tried for
    bool kept_ = true;  // every store tried so far succeeded
    std::atomic<bool> explained_{false};
    std::atomic<int> posts_{0}, gets_{0};
    int seen_posts_ = 0, seen_gets_ = 0;
    std::mutex last_lock_;
    std::string last_url_;
};

} // namespace cli

#endif
