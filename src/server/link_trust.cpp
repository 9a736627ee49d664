// Owns the bounds of what the management link may change on this machine.
#include "server/link_trust.h"

#include <array>

#include "platform/files.h"
#include "server/settings.h"
#include "vfs/file_helpers.h"

namespace zelm {
namespace {

// Folders of the system itself: nothing below them is ever a main path.
constexpr std::array<std::string_view, 9> kSystemFolders = {
    "/etc", "/usr", "/bin", "/sbin", "/boot", "/dev", "/proc", "/sys", "/run"};

std::string FolderOf(std::string_view path) {
  const size_t cut = path.rfind('/');
  if (cut == std::string_view::npos || cut == 0) return "/";
  return std::string(path.substr(0, cut));
}

// The real path of `path`, or of its deepest existing folder with the rest appended; empty
// when not even "/" resolves.
std::string RealPathOrDeepestFolder(const std::string& path) {
  std::string real;
  if (ResolveRealPath(path, real)) return real;
  std::string head = path;
  std::string tail;
  while (head != "/") {
    const size_t cut = head.rfind('/');
    tail = head.substr(cut) + tail;
    head = cut == 0 ? "/" : head.substr(0, cut);
    if (ResolveRealPath(head, real)) return real == "/" ? tail : real + tail;
  }
  return {};
}

bool WithinOne(std::string_view path, const std::vector<std::string>& roots, bool strictly) {
  for (const std::string& root : roots) {
    if (strictly ? IsStrictlyBelow(path, root) : IsAtOrBelow(path, root)) return true;
  }
  return false;
}

}  // namespace

bool IsAtOrBelow(std::string_view path, std::string_view base) {
  if (base == "/") return !path.empty() && path[0] == '/';
  if (path.substr(0, base.size()) != base) return false;
  return path.size() == base.size() || path[base.size()] == '/';
}

bool IsStrictlyBelow(std::string_view path, std::string_view base) {
  return path != base && IsAtOrBelow(path, base);
}

std::vector<std::string> SplitFolderList(std::string_view list, const DriveLookup& drives) {
  std::vector<std::string> folders;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view item = list.substr(start, end - start);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    std::string folder;
    if (!item.empty() && MapManagedPath(item, drives, "", folder)) folders.push_back(folder);
    start = end + 1;
  }
  return folders;
}

std::vector<std::string> ProtectedDataFolders() {
  std::vector<std::string> folders = {"/var/lib/zelmftp"};
  std::string store;
  if (MapManagedPath(SettingsStorePath(), nullptr, "", store)) folders.push_back(FolderOf(store));
  return folders;
}

bool IsSystemFolder(std::string_view folder, const std::vector<std::string>& dataFolders) {
  if (folder.empty() || folder == "/") return true;
  for (std::string_view system : kSystemFolders) {
    if (IsAtOrBelow(folder, system)) return true;
  }
  // /lib, /lib32, /lib64, /libx32 and whatever else a distribution puts there.
  if (folder.starts_with("/lib")) return true;
  for (const std::string& data : dataFolders) {
    // Being or holding the data folder would put the settings within a home's reach; a
    // folder below it holds no data of its own.
    if (IsAtOrBelow(data, folder)) return true;
  }
  return false;
}

const char* DescribeVerdict(MainPathVerdict verdict) {
  switch (verdict) {
    case MainPathVerdict::kAccepted:
      return "accepted";
    case MainPathVerdict::kNoLinuxForm:
      return "has no form on this machine";
    case MainPathVerdict::kMissing:
      return "is not an existing folder";
    case MainPathVerdict::kSystemFolder:
      return "is a system folder or holds the server's own data";
    case MainPathVerdict::kOutsideRoots:
      return "is not below \"Main Path Roots\"";
  }
  return "is refused";
}

std::vector<std::string> MainPathRoots(const DriveLookup& drives) {
  std::vector<std::string> roots = SplitFolderList(ReadSettingString("Main Path Roots"), drives);
  if (!roots.empty()) return roots;
  std::string present;
  if (MapManagedPath(GetMainPath(), drives, "", present) &&
      !IsSystemFolder(present, ProtectedDataFolders())) {
    return {present};
  }
  return {"/srv"};
}

std::vector<std::string> PublishRoots(const DriveLookup& drives) {
  std::vector<std::string> roots = SplitFolderList(ReadSettingString("Publish Roots"), drives);
  for (char drive = 'A'; drive <= 'Z'; ++drive) {
    const std::string folder = drives ? drives(drive) : std::string();
    std::string mapped;
    if (!folder.empty() && MapManagedPath(folder, nullptr, "", mapped)) roots.push_back(mapped);
  }
  return roots;
}

MainPathVerdict CheckMainPath(std::string_view mainPath, const DriveLookup& drives,
                              const std::vector<std::string>& roots,
                              const std::vector<std::string>& dataFolders,
                              std::string& linuxFolder) {
  std::string mapped;
  if (!MapManagedPath(mainPath, drives, "", mapped)) return MainPathVerdict::kNoLinuxForm;
  std::string real;
  if (!DirectoryExists(mapped) || !ResolveRealPath(mapped, real)) return MainPathVerdict::kMissing;
  if (IsSystemFolder(mapped, dataFolders) || IsSystemFolder(real, dataFolders)) {
    return MainPathVerdict::kSystemFolder;
  }
  if (!LiesWithin(mapped, roots, false)) return MainPathVerdict::kOutsideRoots;
  linuxFolder = mapped;
  return MainPathVerdict::kAccepted;
}

bool LiesWithin(const std::string& linuxPath, const std::vector<std::string>& roots,
                bool strictly) {
  if (!WithinOne(linuxPath, roots, strictly)) return false;
  const std::string real = RealPathOrDeepestFolder(linuxPath);
  if (real.empty()) return false;
  std::vector<std::string> realRoots;
  for (const std::string& root : roots) realRoots.push_back(RealPathOrDeepestFolder(root));
  return WithinOne(real, realRoots, strictly);
}

}  // namespace zelm
