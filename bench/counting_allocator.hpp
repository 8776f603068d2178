// A count of the heap allocations each thread makes through operator new.
//
// The benchmark binary replaces the global operator new and delete (every
// form: plain, array, nothrow, aligned, sized) with versions that count each
// allocation on the calling thread and then defer to malloc/free. Code under
// measurement reads the count before and after a region; the difference is
// the number of allocations the region made on that thread. Allocations made
// directly with malloc (the transform library's own buffers) are not seen.
#pragma once

#include <cstddef>

namespace kelvane::bench {

// Allocations made through operator new on this thread since it started.
std::size_t allocations_on_this_thread() noexcept;

}  // namespace kelvane::bench
