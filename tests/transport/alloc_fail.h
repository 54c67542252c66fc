// Allocation failure injection for the transport tests. Available only in
// builds without a sanitizer that owns the allocator.
#ifndef NIMBUS_TESTS_ALLOC_FAIL_H
#define NIMBUS_TESTS_ALLOC_FAIL_H

// True when allocations can be made to fail in this build.
bool alloc_fail_supported();
// The allocation after the next n succeeds fails (n = 0: the very next one);
// every later one succeeds again.
void alloc_fail_after(int n);
// Cancels a failure that has not happened yet.
void alloc_fail_off();

#endif // NIMBUS_TESTS_ALLOC_FAIL_H
