// What the process costs: CPU time and memory, for benchmarks and diagnostics.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

namespace zelm {

// User plus system CPU time the whole process has used, in seconds.
double GetProcessCpuSeconds();
// Resident and virtual size of the process in bytes (0 when unknown).
uint64_t GetResidentBytes();
uint64_t GetVirtualBytes();

}  // namespace zelm
