// Small operations on real paths shared by the server: existence tests, sizes, emptiness of a
// directory, nested directory creation, and the character and prefix helpers of the path
// code. Sizes and seeks of open files are in platform/files.h (`GetFileSize64`, `SeekFile`).
//
// Real paths are POSIX paths. Existence follows symbolic links (a link placed by the operator
// stands for its target); `*` and `?` are ordinary name characters.
//
// Thread safety: every function is re-entrant and keeps no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelm {

// Attribute bits understood by `PathExists`.
inline constexpr uint32_t kFileAttributeDirectory = 16;
inline constexpr uint32_t kFileAttributeNormal = 128;

// True when `path` exists: with a non-zero mask, when its attributes (directory 16, anything
// else 128) share a bit with the mask; with mask 0, when it is not a directory. One trailing
// "/" is ignored; "/" always exists.
bool PathExists(std::string_view path, uint32_t attributeMask = 0);

// `PathExists(path, kFileAttributeDirectory)`.
bool DirectoryExists(std::string_view path);

// An overwriting upload writes into a temporary file of the target's folder whose name starts
// with this prefix and replaces the target only when it completed (transfer/data_socket.h).
// Such names are left out of listings and no client path may name one.
inline constexpr std::string_view kUploadTempPrefix = ".zelm-upload-";
inline bool IsUploadTempName(std::string_view name) { return name.starts_with(kUploadTempPrefix); }

// Size of the named regular file; 0 when it is missing or not a file.
uint64_t GetFileSizeByName(std::string_view path);

// True when the directory holds no entries besides "." and ".."; a directory that cannot be
// read (missing included) counts as empty.
bool IsDirectoryEmpty(std::string_view path);

// True when a symbolic link is met on `path` below `home` (the components after the home's,
// the last one included), or when `path` is neither `home` nor below it. Levels after the
// first missing one are not looked at: nothing exists there to be a link. Commands that
// create, write, rename or remove ask this, so that links placed in a home (published
// folders) are followed for reading only.
bool PathMeetsLinkBelow(std::string_view home, std::string_view path);

// Creates every missing level of the absolute directory path; levels made before a failure
// stay. True when every level exists afterwards.
bool CreateDirectoryTree(std::string_view path);

// Equal ignoring ASCII letter case, allowing one trailing "\" or "/" on either.
bool SamePathNoCase(std::string_view a, std::string_view b);

// `a` is shorter than `b` and `b` begins with `a`, ignoring ASCII letter case.
bool IsPrefixNoCase(std::string_view a, std::string_view b);

// c1 equals c2, or with `caseSensitive` false, their lower-case forms are equal.
bool CharEquals(char c1, char c2, bool caseSensitive);

// True when `c` occurs in `set`.
bool FindCharInSet(std::string_view set, char c);

// The rest of `text` after `prefix` when `text` begins with it (ignoring case); otherwise
// `text` itself. An empty prefix never matches.
std::string_view SkipPrefix(std::string_view text, std::string_view prefix);

// Like `SkipPrefix`, but a missing prefix gives nothing.
std::optional<std::string_view> StartsWith(std::string_view text, std::string_view prefix);

}  // namespace zelm
