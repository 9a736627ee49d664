// Fuzz target: the Shell Link parser over untrusted shortcut files, and the writer's round
// trip.
//
// Input: one flag byte, then the data. Flag bit 0 clear: the data is a shortcut file, parsed
// with the code page chosen by bits 1-2; the parser must neither crash nor read outside the
// buffer (the sanitizers watch), and a target it returns is bounded. Bit 0 set: the data is a
// target path (a drive-letter path with bit 1 clear, a Linux path with it set) and, after the
// first "|", a description; when the writer accepts them, the parser must read back the
// path's canonical form both from the link information and from the ID list alone.
// Built as a libFuzzer target with clang, and as a corpus-replay program with any compiler.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/limits.h"
#include "vfs/shell_link.h"

namespace {

void Fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "%s: [%s] [%s]\n", what, a.c_str(), b.c_str());
  std::abort();
}

// Independent of the writer: components split at either separator, empty and "." dropped.
std::string Canonical(std::string_view path, bool drive) {
  std::string out = drive ? std::string(1, static_cast<char>(path[0] & ~0x20)) + ":" : "";
  const char sep = drive ? '\\' : '/';
  if (drive) path.remove_prefix(2);
  size_t start = 0;
  bool any = false;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") {
      out += sep;
      out += part;
      any = true;
    }
    start = end + 1;
  }
  if (!any) out += sep;
  return out;
}

zelm::CCodePage& CodePage(unsigned index) {
  static zelm::CCodePage pages[] = {zelm::ShortcutCodePage(0), zelm::ShortcutCodePage(1251),
                                    zelm::ShortcutCodePage(936), zelm::ShortcutCodePage(65001)};
  return pages[index & 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  zelm::ShellLinkContents contents;

  if ((flags & 1) == 0) {
    if (zelm::ParseShellLink(input, CodePage(flags >> 1), contents) &&
        contents.target.size() > zelm::kMaxPath) {
      Fail("target too long", contents.target.substr(0, 64), "");
    }
    return 0;
  }

  const size_t bar = input.find('|');
  const bool drive = (flags & 2) == 0;
  std::string path = (drive ? "D:\\" : "/") + std::string(input.substr(0, bar));
  const std::string description(bar == std::string_view::npos ? "" : input.substr(bar + 1));
  zelm::ShellLinkTarget target;
  target.path = path;
  target.isDirectory = (flags & 4) != 0;
  target.size = size;
  target.time = static_cast<int64_t>(flags) << 24;
  std::string bytes;
  if (!zelm::BuildShellLink(target, description, CodePage(flags >> 3), bytes)) return 0;
  const std::string expected = Canonical(path, drive);
  if (expected.size() > zelm::kMaxPath) return 0;  // the parser refuses such targets
  if (!zelm::ParseShellLink(bytes, CodePage(flags >> 3), contents)) {
    Fail("written shortcut does not parse", path, "");
  }
  if (contents.target != expected) Fail("link information", contents.target, expected);
  if (description.size() <= 200 && contents.description != description) {
    Fail("description", contents.description, description);
  }
  if (drive) {
    bytes[0x15] = static_cast<char>(bytes[0x15] | 0x01);  // ForceNoLinkInfo
    if (!zelm::ParseShellLink(bytes, CodePage(flags >> 3), contents) ||
        contents.target != expected) {
      Fail("ID list", contents.target, expected);
    }
  }
  return 0;
}
