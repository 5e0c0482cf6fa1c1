#pragma once
// Counts every allocation made through the global operator new of this program.

#include <cstdint>

uint64_t AllocationCount();
