// CFtpFileSystem: one FTP session's view of its home folder.
//
// The tree a client sees is the home folder's real directory tree, one to one: the FTP path
// /a/b names the real path <home>/a/b. This class holds the home folder, the current
// directory in both forms, and turns the FTP paths a client types into real paths, reporting
// whether they exist. The command handlers turn the outcome codes into replies; which user
// may do what is decided elsewhere (the control session's rights check).
//
// Every real path this class returns is the home folder itself or lies below it, whatever the
// client typed: backslashes are turned into "/" and "." and ".." are resolved by
// `NormalizePath` before the path meets the file system, and nothing that could climb out of
// the home survives to the file system.
//
// Names in the client's code page: FTP paths arrive as the client's bytes; with a code page
// set (`SetCodePage`), they are converted to UTF-8 before they become real paths, and a path
// that cannot be converted is invalid. `GetCurrentDir()` and the real paths are in the file
// system's form (UTF-8); `GetClientCurrentDir` gives the current directory in the client's.
//
// Thread safety: used only by the thread that serves its control session; no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_page.h"

namespace zelm {

// Outcome of `ResolvePath` and `ResolveForRemoval`.
enum ResolveResult : int {
  ResolveExists = 0,         // exists with the requested kind
  ResolveMissing = 1,        // a missing file, or a directory with exactly one missing level
  ResolveParentMissing = 2,  // a directory with two or more missing levels
  ResolveInvalid = 3,        // the FTP path cannot be normalised, converted or mapped
  ResolveNotEmpty = 4,       // only from ResolveForRemoval: a directory that is not empty
};

// True when `name` holds one of \ * ? " : < > | (the characters a rename target may not use).
bool HasInvalidNameChars(std::string_view name);

// True when `name` (one path component) is a name Windows refuses: empty, one of
// < > : " / \ | ? * or a control character in it, a trailing dot or blank, or a reserved
// device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any letter case, with or without
// an extension). The café's PCs and any Windows share of the folders could not use it.
bool IsNameWindowsRefuses(std::string_view name);
// The last component of an FTP path ("a/b/" gives "b"); empty for "/" or "".
std::string_view LastPathComponent(std::string_view path);

// True when `text` holds a byte below 0x20 (NUL, CR, LF, ...). Such names are never created
// for a client, and listings leave existing ones out.
bool HasControlChars(std::string_view text);

class CFtpFileSystem final {
 public:
  CFtpFileSystem() { Reset(); }
  CFtpFileSystem(const CFtpFileSystem&) = delete;
  CFtpFileSystem& operator=(const CFtpFileSystem&) = delete;

  // Empties the home and the current directories ("/" for the FTP one), clears `lastError`
  // and `usedBytes`. The code page is a server setting and stays.
  void Reset();

  // Sets the real directory that is this session's FTP root: an absolute POSIX path, "."
  // and ".." resolved lexically, trailing "/" dropped. Anything else leaves the session
  // without a home, and every path then resolves as invalid.
  void SetHomePath(std::string_view path);
  const std::string& GetHomePath() const { return homePath_; }

  // Selects the client's code page for names (0 = bytes pass through). False when the
  // platform cannot convert it; every path is then invalid.
  bool SetCodePage(uint32_t codePage) { return codePage_.Set(codePage); }
  CCodePage& GetCodePage() { return codePage_; }

  // The FTP current directory, file-system form; always starts with "/".
  const std::string& GetCurrentDir() const { return currentDir_; }
  // The FTP current directory in the client's code page; false when it cannot be converted.
  bool GetClientCurrentDir(std::string& out);
  // Real path of the current directory, ending with "/"; empty until the first directory
  // change, standing for the home folder.
  const std::string& GetCurrentRealDir() const { return currentRealDir_; }

  // Error number of the last failed status step of `DeleteFile` or `RemoveDirectory`.
  uint32_t GetLastError() const { return lastError_; }

  // Cached total size of the files below the home; 0 means not computed yet.
  uint64_t GetUsedBytes() const { return usedBytes_; }
  void SetUsedBytes(uint64_t bytes) { usedBytes_ = bytes; }

  // Resolves the client's `ftpPath` (may be empty: the current directory, or the root for a
  // directory with `emptyMeansRoot`) into a real path: a directory path ends with "/", a
  // file path is the directory path plus the name. On any result but ResolveInvalid,
  // `realPathOut` (and `realPathCopyOut` when given) holds the real path; on ResolveInvalid
  // `realPathOut` holds the FTP current directory and names no real file.
  ResolveResult ResolvePath(std::string_view ftpPath, bool isDirectory, std::string& realPathOut,
                            std::string* realPathCopyOut = nullptr, bool emptyMeansRoot = false);

  // `ResolvePath` for RMD and DELE; an existing directory that is not empty gives
  // ResolveNotEmpty.
  ResolveResult ResolveForRemoval(std::string_view ftpPath, bool isDirectory,
                                  std::string& realPathOut);

  // Makes `ftpPath` (empty or "/" = the root) the current directory when it exists as a
  // directory; true when it is (or already was) current. Nothing changes on failure.
  bool ChangeDirectory(std::string_view ftpPath);

  // Moves the current directory one level up; the root stays the root.
  void ChangeToParent();

  // Removes a file / an empty directory given as a real path below the home. The home itself
  // and paths outside it are refused. A path that cannot be examined sets `lastError`;
  // `RemoveDirectory` clears `lastError` first; a failed unlink or rmdir leaves it as it is.
  bool DeleteFile(const std::string& realPath);
  bool RemoveDirectory(const std::string& realPath);

  // Picks a new file name for STOU in the current real directory: file.tmp, else file[000].tmp
  // to file[999].tmp, the first name that no entry uses. False (and `realPathOut` = the
  // directory) when all are taken.
  bool MakeUniqueFileName(std::string& realPathOut);

  // Recomputes `usedBytes`: the sizes of the regular files below the home, without following
  // symbolic links, down to kMaxDirectoryDepth levels.
  void ComputeUsedSpace();

  // SECURITY: true when `realPath` is the home folder or lies below it, component by
  // component ("/srv/ftp2" is not below "/srv/ftp"; no "." or ".." component anywhere).
  bool IsInsideHome(std::string_view realPath) const;

 private:
  // The shared checks of DeleteFile and RemoveDirectory: `realPath` (its final "/" dropped,
  // into `path`) lies below the home and can be examined; sets `lastError` when not.
  bool CheckRemovable(const std::string& realPath, std::string& path);
  // Lexically resolved FTP path (absolute, UTF-8) into the real path below the home.
  bool MapToReal(const std::string& ftpPath, bool isDirectory, std::string& real) const;

  std::string homePath_;        // absolute, no trailing "/" (except the root itself)
  std::string homeBase_;        // homePath_ without a final "/" ("" for the root)
  std::string currentRealDir_;  // real path ending with "/", or empty for the home
  std::string currentDir_;      // FTP path, starts with "/"
  uint32_t lastError_ = 0;
  uint64_t usedBytes_ = 0;
  CCodePage codePage_;
};

}  // namespace zelm
