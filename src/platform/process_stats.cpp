// Owns reading the process's resource usage from the kernel.
#include "platform/process_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace zelm {
namespace {

// Field `index` (0: virtual pages, 1: resident pages) of /proc/self/statm, in bytes.
uint64_t ReadStatm(int index) {
  FILE* file = std::fopen("/proc/self/statm", "re");
  if (file == nullptr) return 0;
  unsigned long long pages[2] = {0, 0};
  int n = std::fscanf(file, "%llu %llu", &pages[0], &pages[1]);
  std::fclose(file);
  if (n != 2) return 0;
  return pages[index] * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

double GetProcessCpuSeconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

uint64_t GetResidentBytes() { return ReadStatm(1); }
uint64_t GetVirtualBytes() { return ReadStatm(0); }

}  // namespace zelm
