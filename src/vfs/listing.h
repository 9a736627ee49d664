// CFtpListing: the LIST and NLST output of one real directory.
//
// The transfer code creates a `CFtpListing` for each listing and calls
// `WriteDirectoryListing` with the directory and the data connection, seen here only as a
// `CListingSink`. Lines are collected in one kListingBufferSize-byte buffer and sent in
// batches, so a large directory costs one send per kilobyte rather than one per entry.
//
// LIST line (61 bytes plus the name, more only for sizes of 13 digits and more):
//   "-rwxrwxrwx   1 owner    group            1234 Jan 15 10:30 name\r\n"
// "d" for a directory; the size field is 12 columns (a wider size keeps every digit); the
// time column shows hh:mm for an entry of the current year and the year otherwise. NLST
// lines are the name and "\r\n".
//
// Entries are listed sorted by name, ignoring ASCII letter case (ties by the exact bytes);
// "." and ".." are skipped; directories show size 0; the date is the creation time (birth
// time where the file system records it, else the modification time) in local time, or the
// modification time with `ListingOptions::modificationTimes`. With a
// code page, names are converted from UTF-8 to it; a name that cannot be converted is left
// out (the client could not address it), and so is a name holding control characters.
//
// Thread safety: an object serves one listing on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace zelm {

class CCodePage;

// Where listing bytes go: the data connection, or a test's buffer.
class CListingSink {
 public:
  virtual ~CListingSink() = default;
  // Sends `length` bytes; returns the count sent, -1 on failure.
  virtual int64_t Send(const char* data, size_t length) = 0;
};

// One entry as the LIST line shows it.
struct ListingEntry {
  std::string_view name;
  bool isDirectory = false;
  uint64_t size = 0;
  SystemTime created;
};

// Appends the LIST line of `entry` to `out`, choosing time or year against `now`.
void AppendListLine(const ListingEntry& entry, const SystemTime& now, std::string& out);
// Appends the NLST line of `name` to `out`.
void AppendNameLine(std::string_view name, std::string& out);

// An MLSD or MLST entry (RFC 3659): the facts type, size (files only), modify (UTC) and perm.
struct FactsEntry {
  std::string_view name;
  bool isDirectory = false;
  uint64_t size = 0;
  int64_t modified = 0;   // seconds since the epoch
  std::string_view perm;  // the perm fact's letters
};
// The facts a client asked for (OPTS MLST); all of them unless it chose.
inline constexpr uint32_t kFactType = 1, kFactSize = 2, kFactModify = 4, kFactPerm = 8;
inline constexpr uint32_t kAllFacts = kFactType | kFactSize | kFactModify | kFactPerm;
// Appends "type=file;size=5;modify=20010203040506;perm=adfrw; name\r\n" to `out`, with the
// facts of `facts` only.
void AppendFactsLine(const FactsEntry& entry, std::string& out, uint32_t facts = kAllFacts);
// The perm fact of an entry at `realPath` (the letters the session's rights allow there).
using PermFacts = std::function<std::string(const std::string& realPath, bool isDirectory)>;

// How a listing shows its entries beyond LIST's and NLST's defaults.
struct ListingOptions {
  bool modificationTimes = false;  // LIST shows modification times, not creation times
  PermFacts facts;                 // set: MLSD lines of facts, with `factSet`
  uint32_t factSet = kAllFacts;
  // Only the entries whose names (in the client's form) match: "*" and "?" wildcards, letter
  // case ignored (a client's "mget *.txt"); with `exactName`, the one entry of that name.
  std::string namePattern;
  bool exactName = false;
};

// Whether `name` matches the wildcard `pattern` ("*" any run, "?" one byte), ignoring ASCII
// letter case.
bool MatchesWildcard(std::string_view name, std::string_view pattern);

class CFtpListing {
 public:
  // `names` converts names to the client's code page; nullptr passes them through. It must
  // outlive the listing.
  explicit CFtpListing(CCodePage* names = nullptr) : names_(names) {}
  void SetOptions(ListingOptions options) { options_ = std::move(options); }
  virtual ~CFtpListing() = default;
  CFtpListing(const CFtpListing&) = delete;
  CFtpListing& operator=(const CFtpListing&) = delete;

  // Lists the real directory `pattern` (a directory path, with or without a final "/", or
  // one followed by "*.*", which means the same) to `connection`; `namesOnly` selects NLST
  // lines. True when at least one line was formatted and every send succeeded; an empty or
  // unreadable directory sends nothing and gives false; a failed send ends the listing.
  bool WriteDirectoryListing(std::string_view pattern, CListingSink& connection, bool namesOnly);

  // Local time at the start of the latest listing.
  SystemTime now;

 protected:
  // Reads the local time into `now`; tests replace it.
  virtual void ReadNow(SystemTime& time);

 private:
  CCodePage* names_;
  ListingOptions options_;
};

}  // namespace zelm
