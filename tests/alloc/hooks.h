// Heap hooks of the allocation-failure program: every malloc-family call of
// the process (the shared library and yyjson included, through symbol
// interposition) passes through them. Allocations made by a thread that is
// being tracked are counted, may be made to fail, and are remembered until
// they are released, whichever thread releases them.
#ifndef NIMBUS_TESTS_ALLOC_HOOKS_H
#define NIMBUS_TESTS_ALLOC_HOOKS_H

#include <cstddef>

namespace hooks {

// Tracks (or stops tracking) the calling thread's allocations.
void track_thread(bool on);

// Prints the stack of every allocation made to fail (to stderr).
void trace_failures(bool on);

// Makes the nth tracked allocation from now fail (n >= 1); only that one.
void arm(long n);
// Stops counting; returns the number of tracked allocations since arm().
long disarm();
// True when the armed allocation was reached (and failed).
bool fired();

// Tracked allocations that have not been released yet.
size_t live();
// Copies up to max of the live tracked pointers into out; returns how many.
size_t live_blocks(void **out, size_t max);

// Suspends tracking of the calling thread while in scope, for the harness's
// own bookkeeping.
class quiet {
  public:
    quiet();
    ~quiet();
    quiet(const quiet &) = delete;
    quiet &operator=(const quiet &) = delete;

  private:
    bool was_;
};

} // namespace hooks

#endif // NIMBUS_TESTS_ALLOC_HOOKS_H
