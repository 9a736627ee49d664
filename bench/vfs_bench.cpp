// Benchmarks of the virtual file system: LIST of a 10,000-entry directory, the used-space walks
// over a 100,000-file tree (the session's and the quota ledger's), and path resolution. Each prints entries (or paths) per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "vfs/file_system.h"
#include "vfs/listing.h"
#include "vfs/quota_ledger.h"

namespace zelm {
namespace {

// A tree made once per process and removed at exit.
class BenchTree {
 public:
  BenchTree() {
    if (!MakeTempDirectory("zelm-bench-", root_)) std::abort();
    MakeFiles(root_ + "/list", 1, 10'000);
    MakeFiles(root_ + "/used", 100, 1'000);
  }
  ~BenchTree() { RemoveTree(root_); }

  const std::string& Root() const { return root_; }

 private:
  static void MakeFiles(const std::string& top, int directories, int filesEach) {
    CreateOneDirectory(top);
    char name[64];
    for (int d = 0; d < directories; ++d) {
      std::string dir = top;
      if (directories > 1) {
        std::snprintf(name, sizeof name, "/dir-%03d", d);
        dir += name;
        CreateOneDirectory(dir);
      }
      for (int f = 0; f < filesEach; ++f) {
        std::snprintf(name, sizeof name, "/File number %05d of the benchmark.dat", f);
        CFile file;
        if (!file.Open(dir + name, CFile::Mode::kWriteNew) || !file.Write("0123456789", 10)) {
          std::abort();
        }
      }
    }
  }

  std::string root_;
};

BenchTree& Tree() {
  static BenchTree tree;
  return tree;
}

class NullSink final : public CListingSink {
 public:
  int64_t Send(const char*, size_t length) override {
    bytes += length;
    return static_cast<int64_t>(length);
  }
  size_t bytes = 0;
};

void ListDirectory(benchmark::State& state, bool namesOnly) {
  const std::string pattern = Tree().Root() + "/list/*.*";
  for (auto _ : state) {
    CFtpListing listing;
    NullSink sink;
    if (!listing.WriteDirectoryListing(pattern, sink, namesOnly)) state.SkipWithError("listing");
    benchmark::DoNotOptimize(sink.bytes);
  }
  state.counters["entries/s"] =
      benchmark::Counter(10'000.0 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_List10000(benchmark::State& state) { ListDirectory(state, false); }
void BM_Nlst10000(benchmark::State& state) { ListDirectory(state, true); }

void BM_ComputeUsedSpace100000(benchmark::State& state) {
  CFtpFileSystem fs;
  fs.SetHomePath(Tree().Root() + "/used");
  for (auto _ : state) {
    fs.ComputeUsedSpace();
    if (fs.GetUsedBytes() != 1'000'000) state.SkipWithError("wrong total");
  }
  state.counters["entries/s"] =
      benchmark::Counter(100'100.0 * state.iterations(), benchmark::Counter::kIsRate);
}

// The quota ledger's walk: what the first session of a home pays, once, whatever the tree's
// depth; every later session of the home shares the figure.
void BM_LedgerWalk100000(benchmark::State& state) {
  const std::string home = Tree().Root() + "/used";
  for (auto _ : state) {
    if (CountUsedSpace(home) != 1'000'000) state.SkipWithError("wrong total");
  }
  state.counters["entries/s"] =
      benchmark::Counter(100'100.0 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_ResolvePath(benchmark::State& state) {
  CFtpFileSystem fs;
  fs.SetHomePath(Tree().Root());
  fs.SetCodePage(static_cast<uint32_t>(state.range(0)));
  std::string real;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fs.ResolvePath(
        "/used/dir-042/../dir-043/File number 00042 of the benchmark.dat", false, real));
  }
  state.counters["paths/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_List10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Nlst10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComputeUsedSpace100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LedgerWalk100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResolvePath)->Arg(0)->Arg(1252);

}  // namespace
}  // namespace zelm

BENCHMARK_MAIN();
