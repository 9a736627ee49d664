// CTransferLog: the transfer log. Every download and upload that ends, completely or not, is
// one line in the xferlog format (wu-ftpd's, which vsftpd and ProFTPD write and log tools
// read) in the file the setting "Transfer Log" names, and, when the service runs under
// systemd, one structured journal entry with the same facts.
//
// The line's fields, separated by one space:
//   current-time transfer-time remote-host file-size filename transfer-type
//   special-action-flag direction access-mode username service-name authentication-method
//   authenticated-user-id completion-status
// for example
//   Fri Dec 11 17:02:03 2026 1 127.0.0.1 5242880 /srv/x/big.bin b _ o r bob ftp 0 * c
// - current-time: the local time the transfer ended, as ctime prints it (day of the month
//   padded with a space), so it spans five words;
// - transfer-time: whole seconds, rounded, at least 1 (as vsftpd writes it: log tools divide
//   the size by it);
// - remote-host: the client's address, dotted; file-size: the bytes that went over the data
//   connection (a cut-off transfer's share);
// - filename: the file on disk; transfer-type `b` (TYPE I) or `a` (TYPE A); special-action
//   `_`; direction `o` (download) or `i` (upload); access-mode `r`; username: the login;
//   `ftp`; `0` and `*` (no RFC 1931 identity); completion-status `c` (the reply 226) or `i`.
// The filename and the username are encoded so that the grammar holds whatever a client
// named: a space, a control byte (below 0x20), DEL and a backslash are written as `\xNN`
// with two lower-case hex digits; every other byte, UTF-8 names included, as it is. Reading
// `\xNN` back as the byte NN gives the name exactly.
//
// The journal entry (SendJournalEntry, at info): MESSAGE says it in words; ZELMFTP_USER,
// ZELMFTP_ADDRESS, ZELMFTP_FILE (the path as it is, unencoded), ZELMFTP_BYTES,
// ZELMFTP_SECONDS (with milliseconds), ZELMFTP_RESULT (`completed` or `failed`),
// ZELMFTP_DIRECTION (`download` or `upload`), ZELMFTP_REPLY (the final reply's code) and,
// for a failed one, ZELMFTP_REASON.
//
// The file: opened for appending at the first line (created 0640; its folder, when missing,
// created 0750 where its parent allows); opened again when the setting names another file or
// when the name no longer leads to the file open (moved away by log rotation, or removed). A
// file that cannot be opened or written costs one warning in the journal until it works
// again; the transfers and the service go on without it.
//
// Thread safety: `Write` may be called from any thread (the sessions' and the upload
// worker's); `mutex_` guards the file and its state, and each line is one write at the end
// of the file, so lines never interleave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/session_owner.h"
#include "platform/files.h"
#include "platform/thread_annotations.h"

namespace zelm {

// A name for one field of the line (see above).
std::string EncodeTransferLogName(std::string_view bytes);
// The transfer-time field for a transfer of `milliseconds`.
int64_t TransferLogSeconds(int64_t milliseconds);
// `unixSeconds` in local time as ctime prints it ("Fri Dec 11 17:02:03 2026"); empty when
// the platform cannot convert it.
std::string FormatTransferLogTime(int64_t unixSeconds);
// The line of `record` (with its line end), as it ended at `unixSeconds`.
std::string FormatTransferLogLine(const TransferRecord& record, int64_t unixSeconds);

class CTransferLog final {
 public:
  CTransferLog() = default;
  CTransferLog(const CTransferLog&) = delete;
  CTransferLog& operator=(const CTransferLog&) = delete;

  // Writes `record`'s line to the file at `path` (empty: no file; one open is closed) and,
  // under systemd, its journal entry. Any thread.
  void Write(const TransferRecord& record, const std::string& path) ZELM_EXCLUDES(mutex_);

 private:
  // The file at `path` is open for appending (reopened when needed); false after a warning
  // (or without one when this path was warned of already).
  bool EnsureOpenLocked(const std::string& path) ZELM_REQUIRES(mutex_);
  // Warns once per failure of `path`: `what` failed, with the system's reason.
  void WarnLocked(const std::string& path, const std::string& what) ZELM_REQUIRES(mutex_);

  CMutex mutex_;
  CFile file_ ZELM_GUARDED_BY(mutex_);
  std::string openPath_ ZELM_GUARDED_BY(mutex_);  // the name file_ was opened by
  FileId openId_ ZELM_GUARDED_BY(mutex_);
  // The path a warning was given for; cleared when a line is written.
  std::string warnedPath_ ZELM_GUARDED_BY(mutex_);
};

}  // namespace zelm
