// CountingNew.h - a test program that links CountingNew.cpp has every form
// of operator new and delete replaced: allocations are counted, and one
// chosen nothrow array allocation can be made to fail. Such a suite counts
// the whole program's allocations, so it runs in a process of its own.
#ifndef AZK_TESTS_COUNTING_NEW_H
#define AZK_TESTS_COUNTING_NEW_H

#include <cstddef>

namespace azk::test {

// Allocations made through operator new (every form) so far.
long Allocations();

// From now on, the failAt-th nothrow array allocation (new (std::nothrow)
// T[n]) of exactly `size` bytes returns null. FailNothrowArray(0, 0)
// disarms. NothrowArraysSeen() counts the allocations of that size since.
void FailNothrowArray(std::size_t size, int failAt);
int NothrowArraysSeen();

}  // namespace azk::test

#endif
