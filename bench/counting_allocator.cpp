// Replacements of the global allocation functions that count allocations per
// thread (see counting_allocator.hpp). Every operator new form ends in
// malloc or aligned_alloc and every operator delete form in free, so memory
// from any form may be released by any other, as the standard allows.
#include "bench/counting_allocator.hpp"

#include <cstdlib>
#include <new>

namespace {

// Per thread, so that a measured region sees only its own thread's work. A
// plain integer in static TLS: reading or bumping it never allocates.
thread_local std::size_t allocation_count = 0;

void* allocate(std::size_t size) {
    ++allocation_count;
    // malloc(0) may return null; operator new must return a unique pointer.
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
    ++allocation_count;
    const auto align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a size that is a whole number of alignments.
    const std::size_t rounded = ((size == 0 ? 1 : size) + (align - 1)) / align * align;
    void* p = std::aligned_alloc(align, rounded);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace kelvane::bench {

std::size_t allocations_on_this_thread() noexcept { return allocation_count; }

}  // namespace kelvane::bench

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate_aligned(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    try {
        return allocate_aligned(size, alignment);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    try {
        return allocate_aligned(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
