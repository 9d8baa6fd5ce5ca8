#pragma once
// Heap allocations made through operator new in this process since it started. The
// benchmark binary that links alloc_counter.cpp replaces the global operator new to count
// them; nothing else in the project does.

#include <cstdint>

namespace bench {

std::uint64_t allocationCount();

}  // namespace bench
