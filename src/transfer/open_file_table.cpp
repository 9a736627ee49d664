// Owns the process-wide table of files that transfers have open, and the sharing rule it keeps.
#include "transfer/open_file_table.h"

#include <utility>

namespace zelm {

COpenFileTable::CHold& COpenFileTable::CHold::operator=(CHold&& other) noexcept {
  if (this != &other) {
    Release();
    table_ = std::exchange(other.table_, nullptr);
    id_ = other.id_;
    writer_ = other.writer_;
  }
  return *this;
}

void COpenFileTable::CHold::Release() {
  if (table_ == nullptr) return;
  std::exchange(table_, nullptr)->Give(id_, writer_);
}

COpenFileTable& COpenFileTable::Instance() {
  // Lives until the process ends: holds may be released by threads still ending at exit.
  static COpenFileTable* table = new COpenFileTable;
  return *table;
}

bool COpenFileTable::AcquireWriter(const FileId& id, CHold& hold) {
  hold.Release();
  if (!id.IsKnown()) return false;
  CMutexLock lock(mutex_);
  Users& users = files_[id];
  if (users.writer) return false;
  users.writer = true;
  hold.table_ = this;
  hold.id_ = id;
  hold.writer_ = true;
  return true;
}

void COpenFileTable::AcquireReader(const FileId& id, CHold& hold) {
  hold.Release();
  if (!id.IsKnown()) return;
  CMutexLock lock(mutex_);
  ++files_[id].readers;
  hold.table_ = this;
  hold.id_ = id;
  hold.writer_ = false;
}

bool COpenFileTable::IsOpen(const FileId& id) {
  CMutexLock lock(mutex_);
  return files_.find(id) != files_.end();
}

bool COpenFileTable::IsPathOpen(const std::string& path) {
  FileStatus status;
  if (!GetFileStatus(path, status, LinkPolicy::kNoFollow)) return false;
  return IsOpen(IdOf(status));
}

void COpenFileTable::Give(const FileId& id, bool writer) {
  CMutexLock lock(mutex_);
  const auto it = files_.find(id);
  if (it == files_.end()) return;
  if (writer) {
    it->second.writer = false;
  } else if (it->second.readers > 0) {
    --it->second.readers;
  }
  if (!it->second.writer && it->second.readers == 0) files_.erase(it);
}

}  // namespace zelm
