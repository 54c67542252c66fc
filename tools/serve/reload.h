// How a running gateway notices a new settings file: `nimbus login` run
// elsewhere, a refresh token another run rotated, a file replaced by hand.
// The file is looked at by its stat (device, inode, size, change and
// modification times) every few seconds and on SIGHUP; only a different
// stat makes it read again. What changed then decides whether the gateway
// starts again with it (see serve.cpp): the same process, execv'd, with the
// same listening socket, so that no connection is refused meanwhile.
#ifndef NIMBUS_TOOLS_SERVE_RELOAD_H
#define NIMBUS_TOOLS_SERVE_RELOAD_H

#include <ctime>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>

#include "commands.h"
#include "serve/listen.h"

namespace cli {

// What stat says of a file; present is false when there is none.
struct file_stamp {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
};
file_stamp stamp_of(const std::string &path);
bool same_stamp(const file_stamp &a, const file_stamp &b);

enum class settings_change {
    same,        // nothing the gateway uses changed (or only a token it stored itself)
    new_token,   // the same account and application, a refresh token of someone else's
    new_account, // anything else: account, application, cloud, root folder
    signed_out,  // the sign-in is gone (`nimbus logout`): go on offering the sign-in page
    invalid,     // no JSON object, or settings the library refuses
};

// Compares the settings the gateway runs on (running: "" when it runs signed
// out) with the file's text now; a file without a refresh token is the same
// as running signed out, else signed_out. own tells the refresh tokens this run
// holds or stored. For invalid, *why says what is wrong, in one line.
settings_change compare_settings(const std::string &running, const std::string &now,
                                 const std::function<bool(const std::string &)> &own,
                                 std::string *why);

// Whether the gateway starts signed out, serving its sign-in page: there
// is no settings file yet, or one that holds no refresh token. A file that
// could not take a sign-in either (unreadable, open to others, no JSON
// object) is left to the context's open to report. *running receives the
// text read, *stamp what stat said before that.
bool starts_signed_out(const options &o, std::string *running, file_stamp *stamp);

// Looks at the settings file every few seconds and on SIGHUP (asked: read
// it whatever its stat says) and tells whether to start again with it. A
// refresh token of someone else's for the same sign-in is taken at once
// while signed out or idle (no request under way), else at a later look:
// no stream is cut for a token the running handle does not need yet. An
// invalid file is told once, in one line, and changes nothing.
class settings_watch {
  public:
    settings_watch(std::string path, std::string running, file_stamp stamp)
        : path_(std::move(path)), running_(std::move(running)), stamp_(stamp) {}
    // own: whether a refresh token is one this run holds or stored.
    bool take_new(bool asked, const std::function<bool(const std::string &)> &own, bool signed_out,
                  bool idle);

  private:
    std::string path_;
    std::string running_; // the text the gateway runs on ("" signed out)
    file_stamp stamp_;
    file_stamp told_; // the invalid file last told about
};

// The listening socket a run hands to the next (kept open across execv):
// -1 when there is none, or the inherited descriptor is not a listening TCP
// socket bound to addr's family and port (port 0: any). Either way the
// variable goes, so that nothing started from this process inherits it.
int inherited_listener(const listen_address &addr);
// Lets fd survive the execv and names it for the next run.
bool hand_over_listener(int fd);

} // namespace cli

#endif
