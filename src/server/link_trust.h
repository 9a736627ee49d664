// What the management link may touch on this machine.
//
// The management protocol carries no authentication, so whatever can talk to the link holds
// what it grants. The operator's settings bound it: a configuration may move the main path
// only to an existing folder below one of "Main Path Roots" that is no system folder and
// holds none of the server's own data; home folders lie strictly below the main path;
// shortcut folders lie below the main path, shortcut targets below it or below one of
// "Publish Roots" (the "Drive X" folders count as publish roots too). Every test is made on
// the real path (symbolic links resolved) as well as on the text.
//
// Thread safety: re-entrant; the listener's thread calls these (the router runs there), the
// tests any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vfs/managed_path.h"

namespace zelm {

// `path` is `base` or lies below it, component by component (both absolute, no trailing "/"
// except "/" itself).
bool IsAtOrBelow(std::string_view path, std::string_view base);
// `path` lies below `base` and is not `base` itself.
bool IsStrictlyBelow(std::string_view path, std::string_view base);

// The folders of a ";"-separated list that map to Linux paths (`drives` for "D:\..."),
// lexically normalised; empty entries and entries without a Linux form are skipped.
std::vector<std::string> SplitFolderList(std::string_view list, const DriveLookup& drives);

// The server's own data: /var/lib/zelmftp and the folder of the settings store in use.
std::vector<std::string> ProtectedDataFolders();

// SECURITY: "/", a folder at or below /etc, /usr, /bin, /sbin, /lib*, /boot, /dev, /proc,
// /sys or /run, or a folder that is or holds one of `dataFolders` (a folder below one is
// fine: the data itself is not below it).
bool IsSystemFolder(std::string_view folder, const std::vector<std::string>& dataFolders);

// Why a new main path was refused; kAccepted when it may be stored.
enum class MainPathVerdict {
  kAccepted,
  kNoLinuxForm,
  kMissing,
  kSystemFolder,
  kOutsideRoots,
};
// The reason as a log text ("is not an existing folder").
const char* DescribeVerdict(MainPathVerdict verdict);

// "Main Path Roots" as Linux folders; when the setting is empty: the present main path (if
// it is set and no system folder), else /srv.
std::vector<std::string> MainPathRoots(const DriveLookup& drives);
// "Publish Roots" and every mapped "Drive A".."Drive Z" folder.
std::vector<std::string> PublishRoots(const DriveLookup& drives);

// Whether `mainPath` (the management server's text) may become "Main Path"; `linuxFolder`
// receives its real Linux folder when it may.
MainPathVerdict CheckMainPath(std::string_view mainPath, const DriveLookup& drives,
                              const std::vector<std::string>& roots,
                              const std::vector<std::string>& dataFolders,
                              std::string& linuxFolder);

// Whether `linuxPath` (mapped, absolute) is one of `roots` or lies below one (with
// `strictly`: lies below one and is none of them), as text and as real path alike. A path
// that does not exist yet is judged by the real path of its deepest existing folder.
bool LiesWithin(const std::string& linuxPath, const std::vector<std::string>& roots, bool strictly);

}  // namespace zelm
