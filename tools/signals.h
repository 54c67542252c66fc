// The command's signals: Ctrl-C and SIGTERM end a wait or a transfer at
// once (the command then exits 130) instead of killing the process
// mid-write, a server stops its waits and transfers the same way, and a
// client that goes away does not kill the gateway with SIGPIPE.
#ifndef NIMBUS_TOOLS_SIGNALS_H
#define NIMBUS_TOOLS_SIGNALS_H

#include <chrono>

namespace cli {

// Makes SIGINT and SIGTERM set the interrupted flag and wake every sleeper;
// a second signal kills the process as usual.
void catch_interrupt();
bool interrupted();

// A server's stop: stop_waits() ends every pause before a retry at once, in
// every thread (that exchange fails as "interrupted") while transfers under
// way go on; interrupt_transfers() ends those too.
void stop_waits();
void interrupt_transfers();

// Writes to a socket whose peer left fail with EPIPE instead of ending the
// process.
void ignore_broken_pipes();

// Sleeps for d unless a signal or a stop comes first; false when one did.
bool sleep_unless_interrupted(std::chrono::steady_clock::duration d);

} // namespace cli

#endif
