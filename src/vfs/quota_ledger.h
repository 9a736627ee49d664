// CQuotaLedger: the used space of one home folder, shared by every session that uses it.
//
// The first session of a home that needs the figure counts it with one walk of the whole
// tree (every level, symbolic links not followed); from then on every write, truncation,
// delete, rename into or out of the home and partial-file clean-up of every session of that
// home keeps it exact, and every upload is charged against it as it writes, so that two
// sessions of one account, one after the other or at the same time, never hold more than the
// quota between them. When the last session of the home lets go, the ledger goes with it: the
// next login counts again and sees what changed outside FTP.
//
// Threads: any thread; one mutex per ledger guards its figure, one guards the table of
// ledgers. The walk runs outside both, so other homes are never held up by it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/thread_annotations.h"

namespace zelm {

// Bytes of the regular files in and below `folder`: every level, links not followed.
uint64_t CountUsedSpace(const std::string& folder);

class CQuotaLedger final {
 public:
  // The ledger of `home` (a real folder): the one other sessions of that home hold, or a new
  // one whose used space is counted now.
  static std::shared_ptr<CQuotaLedger> ForHome(const std::string& home);
  // How many homes have a ledger now (tests).
  static size_t CountLedgers();

  explicit CQuotaLedger(uint64_t used) : used_(used) {}
  CQuotaLedger(const CQuotaLedger&) = delete;
  CQuotaLedger& operator=(const CQuotaLedger&) = delete;

  uint64_t GetUsed() const;
  // Bytes still free under `quota` (0: no quota, then UINT64_MAX).
  uint64_t GetFree(uint64_t quota) const;
  // Charges `bytes` of growth when they fit under `quota` (0: no quota, always fits); false
  // and nothing charged when they do not.
  bool TryCharge(uint64_t quota, uint64_t bytes);
  // Records a change made anyway: growth (positive) or freed space (negative); the figure
  // never goes below 0.
  void Add(int64_t delta);

 private:
  mutable CMutex mutex_;
  uint64_t used_ ZELM_GUARDED_BY(mutex_);
};

}  // namespace zelm
