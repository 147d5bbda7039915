#pragma once

// Replaces the global allocation functions so that a test or benchmark sees every heap
// allocation: each one calls onAllocation(size), which the including file defines.
//
// Include this header in exactly one translation unit of an executable (the replacement
// functions are ordinary definitions: the language forbids declaring them inline). Under a
// sanitizer whose runtime supplies its own allocation functions (ThreadSanitizer), do not
// include it.

#include <cstddef>
#include <cstdlib>
#include <new>

namespace quillon::testing {
void onAllocation(std::size_t size);
} // namespace quillon::testing

void* operator new(std::size_t size) {
    quillon::testing::onAllocation(size);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    quillon::testing::onAllocation(size);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
