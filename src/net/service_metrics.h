// CServiceMetrics: the service's figures for monitoring, and their page in Prometheus' text
// exposition format (version 0.0.4).
//
// One process-wide set of counters (`ServiceMetrics()`), counted where things happen: logins
// by the sessions and the listener, bytes by the transfers as they move, transfer ends by the
// listener, passive listeners by the data connections, the management server's login answer
// times by the router. What only the listener knows at the moment of a scrape (the sessions
// open, the bans in force, whether the management link is up) comes as `MetricsGauges` to
// `RenderMetricsText`, which writes the whole page.
//
// Thread safety: every operation may be called from any thread. The counters are relaxed
// atomics: a `Read` may mix counts taken a moment apart, but never tears one, and a counter
// never goes back.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace zelm {

// The management round trip's histogram buckets: upper bounds in seconds, "+Inf" after the
// last. A login answer on the café's LAN takes a few milliseconds; a session gives up after
// 10 s (kAnswerTimeout).
inline constexpr std::array<double, 13> kRoundTripBuckets = {
    0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

// What the listener reads when the page is asked for.
struct MetricsGauges {
  uint32_t sessions = 0;  // control connections open
  uint32_t bans = 0;      // addresses banned now
  bool managementLinkUp = false;
};

class CServiceMetrics final {
 public:
  // The counters at one moment.
  struct Snapshot {
    uint64_t loginsAccepted = 0;
    uint64_t loginsRefused = 0;
    uint64_t bytesReceived = 0;
    uint64_t bytesSent = 0;
    uint64_t transfersCompleted = 0;
    uint64_t transfersFailed = 0;
    uint64_t quotaRefusals = 0;
    int64_t passivePortsInUse = 0;
    // Answers per bucket (not cumulative), the last one past every bound.
    std::array<uint64_t, kRoundTripBuckets.size() + 1> roundTrips{};
    uint64_t roundTripMicroseconds = 0;  // their sum
  };

  CServiceMetrics() = default;
  CServiceMetrics(const CServiceMetrics&) = delete;
  CServiceMetrics& operator=(const CServiceMetrics&) = delete;

  void CountLogin(bool accepted);
  void AddBytesReceived(uint64_t bytes) { bytesReceived_.fetch_add(bytes, kOrder); }
  void AddBytesSent(uint64_t bytes) { bytesSent_.fetch_add(bytes, kOrder); }
  // A download or upload ended: with the reply 226 (`completed`) or any other.
  void CountTransfer(bool completed);
  // An upload was stopped at its account's quota (552).
  void CountQuotaRefusal() { quotaRefusals_.fetch_add(1, kOrder); }
  // A passive data port started, or stopped, listening for its client.
  void PassivePortOpened() { passivePorts_.fetch_add(1, kOrder); }
  void PassivePortClosed() { passivePorts_.fetch_sub(1, kOrder); }
  // A login request went to the management server and its answer came this long after.
  void ObserveRoundTrip(int64_t microseconds);

  Snapshot Read() const;

 private:
  static constexpr std::memory_order kOrder = std::memory_order_relaxed;

  std::atomic<uint64_t> loginsAccepted_{0};
  std::atomic<uint64_t> loginsRefused_{0};
  std::atomic<uint64_t> bytesReceived_{0};
  std::atomic<uint64_t> bytesSent_{0};
  std::atomic<uint64_t> transfersCompleted_{0};
  std::atomic<uint64_t> transfersFailed_{0};
  std::atomic<uint64_t> quotaRefusals_{0};
  std::atomic<int64_t> passivePorts_{0};
  std::array<std::atomic<uint64_t>, kRoundTripBuckets.size() + 1> roundTrips_{};
  std::atomic<uint64_t> roundTripMicroseconds_{0};
};

// The process's counters.
CServiceMetrics& ServiceMetrics();

// The page: every metric with its "# HELP" and "# TYPE" lines before its samples, counters
// named "..._total", the round trip as a histogram ("_bucket" with cumulative counts up to
// le="+Inf", "_sum" in seconds, "_count"). Lines end with "\n". Served as
// "text/plain; version=0.0.4; charset=utf-8".
std::string RenderMetricsText(const CServiceMetrics::Snapshot& counts, const MetricsGauges& gauges);

}  // namespace zelm
