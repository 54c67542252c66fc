// Allocation failure injection for the unit tests: a test binary routes
// malloc, calloc, realloc and free through counters, so a test can make one
// chosen allocation fail and check that nothing leaks. Unavailable under the
// sanitizers, which bring their own allocator.
#ifndef NIMBUS_TESTS_ALLOC_HOOK_H
#define NIMBUS_TESTS_ALLOC_HOOK_H

#include <cstddef>

// True when the hook is compiled in.
bool alloc_hook_available();
// Makes the allocation number n (0 = the next one) fail, once.
void alloc_fail_at(long n);
// Disarms the hook; returns true when the armed failure happened.
bool alloc_disarm();
// Blocks allocated and not yet released through the hook.
long alloc_live();

#endif
