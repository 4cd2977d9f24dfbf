// Heap allocations made so far by the whole process (the global operator new is replaced
// in allocation_count.cpp, a translation unit of its own so that no call site inlines it).
#pragma once

#include <cstddef>

size_t AllocationCount();
