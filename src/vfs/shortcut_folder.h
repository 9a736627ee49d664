// Shortcut folders: the management server publishes a folder or a file into another folder
// as a Windows shortcut, and STOU asks whether its upload folder is reached through one.
//
// Folders and targets arrive in the management server's forms ("D:\share\user7",
// "\\THISPC\E$\games\Chess", "/srv/games"). A path on this computer's administrative share is
// first turned into its local form ("E:\games\Chess"); the texts are kept in that form (the
// answer and the shortcut carry them) and every existence test maps them to Linux paths with
// `MapManagedPath`. A folder or target without a Linux form counts as missing.
//
// Shortcuts are ordinary files to path resolution and listings; doc/shortcuts.md describes
// the naming rules and the answer.
//
// Thread safety: re-entrant; the functions run on their caller's thread (the request handler
// on the listener's, `ResolveShortcutPath` on a control session's).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vfs/shell_link.h"

namespace zelm {

// A request to publish `target` into `folder` as a shortcut; both in the management server's
// forms. Either may be absent when the sender left it out.
struct ShortcutFolderRequest {
  std::optional<std::string> folder;
  std::optional<std::string> target;
};

// What `HandleShortcutFolderRequest` found or made.
struct ShortcutFolderAnswer {
  bool shortcutInPlace = false;  // a shortcut to the target is in the folder afterwards
  std::string folder;            // the folder in its local form
  std::string path;              // the shortcut's path; else the target in its local form
};

// Results of `ResolveShortcutPath`.
enum ShortcutPathResult : int {
  kNoShortcutOnPath = 0,
  kDirectoryThroughShortcut = 5,
  kFileThroughShortcut = 6,
  kDirectoryThroughBrokenShortcut = 7,  // the shortcut's target plus the rest is missing
  kFileThroughBrokenShortcut = 8,
};

// The local form of a management-server path: a path whose server is this computer loses
// its server part ("\\THISPC\D$\games" becomes "D:\games"); anything else is returned as is.
std::string ToLocalShortcutPath(std::string_view path);

// Looks in `folder` (a management-server path) for a "*.lnk" file (by the entries' own names,
// the extension in any letter case) whose target exists and maps to the same Linux path as
// `target`. With `lnkPath` given it receives the match's path: `folder`, its separator and the
// entry's name. False when there is none or the folder cannot be read.
bool FindShortcutTo(std::string_view folder, std::string_view target, std::string* lnkPath,
                    const ShortcutContext& context);

// Handles a shortcut-folder request: finds a shortcut to the target in the folder or creates
// one ("name.lnk", else "name[01].lnk" ... "name[1000].lnk", never replacing anything), and
// returns what is there afterwards. Nothing when the request lacks its folder or target (it
// is dropped without an answer).
std::optional<ShortcutFolderAnswer> HandleShortcutFolderRequest(
    const ShortcutFolderRequest& request, const ShortcutContext& context);

// STOU's question: is the Linux path `realPath` reached through a shortcut? Looks, from the
// deepest level up, for "level.lnk" beside each directory level of the path (and for the
// path itself without its file extension plus ".lnk"). Returns a `ShortcutPathResult`; on
// 5 to 8, `realPathOut` receives the Linux path the shortcut leads to (its target followed
// by the rest of the path).
int ResolveShortcutPath(const std::string& realPath, bool isDirectory, std::string& realPathOut,
                        const ShortcutContext& context);

}  // namespace zelm
