// COpenFileTable: the files that transfers have open, process-wide, by file identity.
//
// It gives uploads the sharing a file opened "for writing, sharing reading with others" has
// on a platform with sharing modes: while one transfer writes a file, a second writer of the
// same file is refused, and so are deleting and renaming it; readers are never refused and
// never block a writer. It binds only this process: other programs writing the same files
// see nothing of it (doc/security.md).
//
// Threads: any thread; one mutex guards the table. A `CHold` belongs to the transfer that
// took it and gives its entry back when it goes.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/files.h"
#include "platform/thread_annotations.h"

namespace zelm {

class COpenFileTable final {
 public:
  // A transfer's hold on one file: released by `Release` or the destructor. Movable.
  class CHold final {
   public:
    CHold() = default;
    ~CHold() { Release(); }
    CHold(CHold&& other) noexcept { *this = std::move(other); }
    CHold& operator=(CHold&& other) noexcept;
    CHold(const CHold&) = delete;
    CHold& operator=(const CHold&) = delete;

    void Release();
    bool IsHeld() const { return table_ != nullptr; }
    bool IsWriter() const { return writer_; }

   private:
    friend class COpenFileTable;
    COpenFileTable* table_ = nullptr;
    FileId id_;
    bool writer_ = false;
  };

  // The table of this process.
  static COpenFileTable& Instance();

  // A writer takes the file: false (and `hold` empty) when another writer has it open.
  bool AcquireWriter(const FileId& id, CHold& hold);
  // A reader takes the file; never refused.
  void AcquireReader(const FileId& id, CHold& hold);
  // Whether a transfer has the file open (reading or writing).
  bool IsOpen(const FileId& id);
  // Whether a transfer has the file at `path` open (the name itself, links not followed);
  // false when there is no such file.
  bool IsPathOpen(const std::string& path);

 private:
  struct Users {
    uint32_t readers = 0;
    bool writer = false;
  };
  struct Less {
    bool operator()(const FileId& a, const FileId& b) const {
      return a.device != b.device ? a.device < b.device : a.inode < b.inode;
    }
  };

  void Give(const FileId& id, bool writer);

  CMutex mutex_;
  std::map<FileId, Users, Less> files_ ZELM_GUARDED_BY(mutex_);
};

}  // namespace zelm
