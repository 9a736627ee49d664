// Runs a fuzz target over every file of the corpus directories named on the command line, so
// the corpus is a regression test in builds without libFuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<zelm::DirectoryEntry> entries;
    if (!zelm::ReadDirectory(argv[i], zelm::LinkPolicy::kNoFollow, entries)) {
      std::fprintf(stderr, "cannot read corpus %s\n", argv[i]);
      return 1;
    }
    for (const zelm::DirectoryEntry& entry : entries) {
      if (entry.status.kind != zelm::FileKind::kRegular) continue;
      zelm::CFile file;
      if (!file.Open(std::string(argv[i]) + "/" + entry.name, zelm::CFile::Mode::kRead)) return 1;
      std::string bytes(zelm::GetFileSize64(file), '\0');
      if (!bytes.empty() && file.Read(bytes.data(), bytes.size()) != int64_t(bytes.size())) {
        return 1;
      }
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
