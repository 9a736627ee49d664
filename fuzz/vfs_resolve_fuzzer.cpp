// Fuzz target: FTP paths typed by a client never lead outside the home folder.
//
// Input: one flag byte, then lines. Every line but the last is a CWD (or, when it starts with
// "^", a CDUP); the last line is resolved as a file and as a directory, resolved for removal,
// and followed by a STOU name. Every real path handed out must be the home or lie below it.
// Built as a libFuzzer target with clang, and as a corpus-replay program with any compiler.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "vfs/file_system.h"

namespace {

struct Home {
  Home() {
    if (!zelm::MakeTempDirectory("zelm-fuzz-", root)) std::abort();
    home = root + "/ftp";
    for (const char* dir : {"/ftp", "/ftp/a", "/ftp/a/b", "/ftp/..x", "/ftp/pub", "/ftp2"}) {
      zelm::CreateOneDirectory(root + dir);
    }
    zelm::CFile file;
    file.Open(root + "/ftp/pub/x.zip", zelm::CFile::Mode::kWriteNew);
  }
  ~Home() { zelm::RemoveTree(root); }
  std::string root;
  std::string home;
};

Home& TheHome() {
  static Home home;
  return home;
}

// Independent of the code under test: textual containment, component by component.
void CheckInside(const std::string& home, const std::string& real) {
  bool inside = real == home || real == home + "/";
  if (!inside && real.compare(0, home.size() + 1, home + "/") == 0) {
    inside = true;
    size_t start = home.size() + 1;
    while (start <= real.size()) {
      size_t end = real.find('/', start);
      if (end == std::string::npos) end = real.size();
      const std::string_view part(real.data() + start, end - start);
      if (part == "." || part == "..") inside = false;
      start = end + 1;
    }
  }
  if (!inside) {
    std::fprintf(stderr, "escaped the home: [%s]\n", real.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Home& home = TheHome();
  const uint8_t flags = data[0];
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  zelm::CFtpFileSystem fs;
  fs.SetHomePath(home.home);
  static const uint32_t kCodePages[] = {0, 1252, 936, 932};
  fs.SetCodePage(kCodePages[flags & 3]);

  std::string real;
  for (;;) {
    const size_t newline = input.find('\n');
    const std::string_view line = input.substr(0, newline);
    if (newline == std::string_view::npos) {
      const std::string path(line);
      for (const bool isDirectory : {false, true}) {
        if (fs.ResolvePath(path, isDirectory, real, nullptr, (flags & 4) != 0) !=
            zelm::ResolveInvalid) {
          CheckInside(home.home, real);
        }
        if (fs.ResolveForRemoval(path, isDirectory, real) != zelm::ResolveInvalid) {
          CheckInside(home.home, real);
        }
      }
      if (fs.MakeUniqueFileName(real)) CheckInside(home.home, real);
      break;
    }
    if (!line.empty() && line[0] == '^') {
      fs.ChangeToParent();
    } else {
      fs.ChangeDirectory(std::string(line));
    }
    if (!fs.GetCurrentRealDir().empty()) CheckInside(home.home, fs.GetCurrentRealDir());
    input.remove_prefix(newline + 1);
  }
  return 0;
}
