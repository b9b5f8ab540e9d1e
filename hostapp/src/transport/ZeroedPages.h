// ZeroedPages.h - memory that reads as zeroes without being written: whole
// pages fresh from the system, which zero-fills each page the first time it
// is touched. A large buffer that is mostly never used then costs neither
// the writing of its zeroes nor memory for the pages it never reaches.
#ifndef AZK_TRANSPORT_ZEROED_PAGES_H
#define AZK_TRANSPORT_ZEROED_PAGES_H

#include <cstddef>
#include <new>
#include <type_traits>

namespace azk {

// `size` bytes of zeroed pages, or null when the system has none to give.
void* AllocateZeroedPages(size_t size);
// Returns what AllocateZeroedPages gave for the same size; null is ignored.
void FreeZeroedPages(void* pages, size_t size);

// One T (plain bytes only) in zeroed pages of its own, owned.
template <typename T>
class azk_CZeroedPages {
    static_assert(std::is_trivial_v<T>, "only plain data can start as zeroed pages");

public:
    // Throws std::bad_alloc when the pages cannot be had.
    azk_CZeroedPages() : object_(static_cast<T*>(AllocateZeroedPages(sizeof(T)))) {
        if (object_ == nullptr) throw std::bad_alloc();
    }
    ~azk_CZeroedPages() { FreeZeroedPages(object_, sizeof(T)); }
    azk_CZeroedPages(const azk_CZeroedPages&) = delete;
    azk_CZeroedPages& operator=(const azk_CZeroedPages&) = delete;

    T& operator*() const { return *object_; }
    T* operator->() const { return object_; }

private:
    T* const object_;
};

}  // namespace azk

#endif
