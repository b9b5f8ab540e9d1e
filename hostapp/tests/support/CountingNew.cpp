// CountingNew.cpp - the replaced operator new and delete of CountingNew.h.
// Every form is replaced, so that all of them pair up.
#include "CountingNew.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> g_allocations{0};
std::atomic<std::size_t> g_failSize{0};
std::atomic<int> g_failAt{0};
std::atomic<int> g_seen{0};

void* CountedAlloc(std::size_t size) {
    ++g_allocations;
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

namespace azk::test {

long Allocations() { return g_allocations.load(); }

void FailNothrowArray(std::size_t size, int failAt) {
    g_failSize = 0;
    g_seen = 0;
    g_failAt = failAt;
    g_failSize = size;
}

int NothrowArraysSeen() { return g_seen.load(); }

}  // namespace azk::test

void* operator new(std::size_t size) {
    if (void* p = CountedAlloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = CountedAlloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedAlloc(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (size != 0 && size == g_failSize.load() && ++g_seen == g_failAt.load()) return nullptr;
    return CountedAlloc(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
