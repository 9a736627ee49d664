// Owns the sessions panel's rows and the rates of the transfers under way.
#include "ui/session_view.h"

#include <set>

#include "net/zm_socket.h"

namespace zelm {

nlohmann::json CSessionView::Rows(const std::vector<SessionActivity>& sessions, int64_t nowMs,
                                  int64_t unixNowMs) {
  nlohmann::json rows = nlohmann::json::array();
  std::set<uint32_t> present;
  CMutexLock lock(mutex_);
  for (const SessionActivity& s : sessions) {
    present.insert(s.identifier);
    nlohmann::json row = {
        {"id", s.identifier},
        {"user", s.loggedIn ? s.userName : std::string()},
        {"loggedIn", s.loggedIn},
        {"address", CZmSocket::FormatIpAddress(s.peer)},
        {"connectedAt", unixNowMs - (nowMs - s.connectedAtMs)},
        {"connectedSeconds", (nowMs - s.connectedAtMs) / 1000},
        {"idleSeconds", s.transferring ? 0 : (nowMs - s.lastActivityMs) / 1000},
        {"command", s.lastCommand},
        {"secured", s.secured},
        {"sent", s.bytesSent},
        {"received", s.bytesReceived},
        {"transfer", nullptr},
    };
    Seen& seen = seen_[s.identifier];
    if (!s.transferring) {
      seen = {};
      rows.push_back(std::move(row));
      continue;
    }
    if (seen.transferStartMs != s.transferStartMs) seen = {s.transferStartMs, {}};
    seen.looks.push_back({nowMs, s.bytes});
    while (seen.looks.size() > 2 && nowMs - seen.looks[1].ms >= kRateWindowMs) {
      seen.looks.pop_front();
    }
    const Look& first = seen.looks.front();
    double rate = 0;
    if (seen.looks.size() > 1 && nowMs > first.ms) {
      rate = static_cast<double>(s.bytes - first.bytes) * 1000.0 /
             static_cast<double>(nowMs - first.ms);
    } else if (nowMs > s.transferStartMs) {
      rate = static_cast<double>(s.bytes) * 1000.0 / static_cast<double>(nowMs - s.transferStartMs);
    }
    nlohmann::json transfer = {
        {"file", s.file},     {"direction", s.upload ? "upload" : "download"},
        {"bytes", s.bytes},   {"size", s.size},
        {"percent", nullptr}, {"rate", static_cast<uint64_t>(rate)},
    };
    if (!s.upload && s.size > 0) {
      transfer["percent"] =
          static_cast<double>(std::min(s.bytes, s.size)) * 100.0 / static_cast<double>(s.size);
    }
    row["transfer"] = std::move(transfer);
    rows.push_back(std::move(row));
  }
  // Sessions that have gone are forgotten.
  for (auto it = seen_.begin(); it != seen_.end();) {
    it = present.count(it->first) != 0 ? std::next(it) : seen_.erase(it);
  }
  return rows;
}

}  // namespace zelm
