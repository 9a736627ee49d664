// Owns the service's monitoring counters and the Prometheus page made from them.
#include "net/service_metrics.h"

#include <cstdio>

namespace zelm {
namespace {

// A bucket's bound as Prometheus reads it: "0.0025", "10".
std::string Bound(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

// Microseconds as seconds, exactly: "1.234567".
std::string Seconds(uint64_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%06llu",
                static_cast<unsigned long long>(microseconds / 1000000),
                static_cast<unsigned long long>(microseconds % 1000000));
  return text;
}

class CPage {
 public:
  // Starts a metric: its help and type lines.
  void Begin(const char* name, const char* type, const char* help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
  }
  void Sample(const std::string& nameAndLabels, const std::string& value) {
    text_ += nameAndLabels;
    text_ += ' ';
    text_ += value;
    text_ += '\n';
  }
  void Sample(const std::string& nameAndLabels, uint64_t value) {
    Sample(nameAndLabels, std::to_string(value));
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace

void CServiceMetrics::CountLogin(bool accepted) {
  (accepted ? loginsAccepted_ : loginsRefused_).fetch_add(1, kOrder);
}

void CServiceMetrics::CountTransfer(bool completed) {
  (completed ? transfersCompleted_ : transfersFailed_).fetch_add(1, kOrder);
}

void CServiceMetrics::ObserveRoundTrip(int64_t microseconds) {
  if (microseconds < 0) microseconds = 0;
  const double seconds = static_cast<double>(microseconds) / 1e6;
  size_t bucket = 0;
  while (bucket < kRoundTripBuckets.size() && seconds > kRoundTripBuckets[bucket]) ++bucket;
  roundTrips_[bucket].fetch_add(1, kOrder);
  roundTripMicroseconds_.fetch_add(static_cast<uint64_t>(microseconds), kOrder);
}

CServiceMetrics::Snapshot CServiceMetrics::Read() const {
  Snapshot s;
  s.loginsAccepted = loginsAccepted_.load(kOrder);
  s.loginsRefused = loginsRefused_.load(kOrder);
  s.bytesReceived = bytesReceived_.load(kOrder);
  s.bytesSent = bytesSent_.load(kOrder);
  s.transfersCompleted = transfersCompleted_.load(kOrder);
  s.transfersFailed = transfersFailed_.load(kOrder);
  s.quotaRefusals = quotaRefusals_.load(kOrder);
  s.passivePortsInUse = passivePorts_.load(kOrder);
  for (size_t i = 0; i < roundTrips_.size(); ++i) s.roundTrips[i] = roundTrips_[i].load(kOrder);
  s.roundTripMicroseconds = roundTripMicroseconds_.load(kOrder);
  return s;
}

CServiceMetrics& ServiceMetrics() {
  static CServiceMetrics metrics;
  return metrics;
}

std::string RenderMetricsText(const CServiceMetrics::Snapshot& counts,
                              const MetricsGauges& gauges) {
  CPage page;
  page.Begin("zelmftp_sessions", "gauge", "Control connections open now.");
  page.Sample("zelmftp_sessions", gauges.sessions);
  page.Begin("zelmftp_logins_total", "counter",
             "Logins answered since the service started, by result.");
  page.Sample("zelmftp_logins_total{result=\"accepted\"}", counts.loginsAccepted);
  page.Sample("zelmftp_logins_total{result=\"refused\"}", counts.loginsRefused);
  page.Begin("zelmftp_bans", "gauge", "Addresses banned now for failed logins or by the operator.");
  page.Sample("zelmftp_bans", gauges.bans);
  page.Begin("zelmftp_received_bytes_total", "counter", "Upload bytes received from clients.");
  page.Sample("zelmftp_received_bytes_total", counts.bytesReceived);
  page.Begin("zelmftp_sent_bytes_total", "counter", "Download bytes sent to clients.");
  page.Sample("zelmftp_sent_bytes_total", counts.bytesSent);
  page.Begin("zelmftp_transfers_total", "counter",
             "Downloads and uploads ended, by result (completed: the reply 226).");
  page.Sample("zelmftp_transfers_total{result=\"completed\"}", counts.transfersCompleted);
  page.Sample("zelmftp_transfers_total{result=\"failed\"}", counts.transfersFailed);
  page.Begin("zelmftp_quota_refusals_total", "counter", "Uploads stopped at the quota (552).");
  page.Sample("zelmftp_quota_refusals_total", counts.quotaRefusals);
  page.Begin("zelmftp_management_link_up", "gauge",
             "1 while the management link is connected and acknowledged, else 0.");
  page.Sample("zelmftp_management_link_up", gauges.managementLinkUp ? 1 : 0);
  page.Begin("zelmftp_management_round_trip_seconds", "histogram",
             "Time from a login request sent to the management server to its answer.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < counts.roundTrips.size(); ++i) {
    cumulative += counts.roundTrips[i];
    const std::string bound = i < kRoundTripBuckets.size() ? Bound(kRoundTripBuckets[i]) : "+Inf";
    page.Sample("zelmftp_management_round_trip_seconds_bucket{le=\"" + bound + "\"}", cumulative);
  }
  page.Sample("zelmftp_management_round_trip_seconds_sum", Seconds(counts.roundTripMicroseconds));
  page.Sample("zelmftp_management_round_trip_seconds_count", cumulative);
  page.Begin("zelmftp_passive_ports_in_use", "gauge",
             "Passive data ports listening for their client now.");
  page.Sample("zelmftp_passive_ports_in_use",
              static_cast<uint64_t>(counts.passivePortsInUse > 0 ? counts.passivePortsInUse : 0));
  return page.Take();
}

}  // namespace zelm
