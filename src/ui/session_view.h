// CSessionView: the sessions panel's rows, built from what the sessions publish
// (`SessionActivity`), with each transfer's rate over the last seconds.
//
// The rate of a transfer is what moved within the last kRateWindowMs of looks (each call of
// `Rows` is a look; the page looks every second), or, at the first look, its average since it
// began. Times are milliseconds of the monotonic clock, passed in by the caller.
// Thread safety: every operation may be called from any thread; `mutex_` guards the looks.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "ftp/ftp_session.h"
#include "platform/thread_annotations.h"

namespace zelm {

inline constexpr int64_t kRateWindowMs = 3000;

class CSessionView final {
 public:
  // One JSON row per session: id, user ("" when nobody logged in), loggedIn, address,
  // connectedAt (Unix ms), connectedSeconds, idleSeconds, command, secured, sent, received,
  // and for a transfer under way "transfer": {file, direction ("download" | "upload"), bytes,
  // size (0: unknown), percent (downloads of known size, else null), rate (bytes per second)}.
  nlohmann::json Rows(const std::vector<SessionActivity>& sessions, int64_t nowMs,
                      int64_t unixNowMs) ZELM_EXCLUDES(mutex_);

 private:
  struct Look {
    int64_t ms = 0;
    uint64_t bytes = 0;
  };
  struct Seen {
    int64_t transferStartMs = 0;
    std::deque<Look> looks;
  };

  CMutex mutex_;
  std::map<uint32_t, Seen> seen_ ZELM_GUARDED_BY(mutex_);  // session identifier -> its looks
};

}  // namespace zelm
