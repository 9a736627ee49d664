// MapManagedPath: folders named by the management server, mapped onto Linux paths.
//
// The management server (a Windows program at most cafés) names the main path, home folders
// and shortcut folders in Windows form. `MapManagedPath` turns such a text into an absolute
// Linux path, or fails:
//   - "/srv/ftp/../x"        a Linux absolute path, "." and ".." resolved: "/srv/x";
//   - "D:\ftp\alice"         drive D's Linux directory (setting "Drive D") + "/ftp/alice";
//                            an unmapped drive fails;
//   - "\\THISPC\D$\share"    this computer's administrative share: as "D:\share"; any other
//                            UNC path fails;
//   - "alice", "users\bob"   a home-folder name, joined below `base` (the main path); an
//                            empty name, a drive-relative name or any ".." fails.
// Results have no trailing "/" (except "/" itself). doc/paths.md describes the rules.
//
// Thread safety: re-entrant; `drives` is called on the caller's thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace zelm {

// The "Drive X" setting: the Linux directory that stands for drive letter `drive` (upper
// case), or empty when the drive is not mapped.
using DriveLookup = std::function<std::string(char drive)>;

// Maps `text` as described above; `base` is the Linux directory below which relative names
// are placed (empty: relative names fail). False when the text has no Linux form.
bool MapManagedPath(std::string_view text, const DriveLookup& drives, std::string_view base,
                    std::string& linuxPath);

}  // namespace zelm
