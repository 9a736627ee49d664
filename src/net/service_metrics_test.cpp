// Tests of the service's counters and their Prometheus page, read back with a strict reader
// of the text exposition format.
#include "net/service_metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zelm {
namespace {

// One sample line: the series' name, its labels and its value.
struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

struct Family {
  std::string type;
  std::string help;
  std::vector<Sample> samples;
};

// Reads Prometheus' text format (version 0.0.4) and refuses what a scraper would refuse or
// misread: names and labels outside the grammar, values that are no floats, HELP or TYPE
// twice or after the family's samples, a family's samples apart, a series twice, samples of
// a family without TYPE, counters not named "_total", and histograms whose buckets are not
// ascending and cumulative up to le="+Inf" equal to "_count". `error` says what was wrong.
bool ParseExposition(const std::string& text, std::map<std::string, Family>& families,
                     std::string& error) {
  static const std::regex kName("[a-zA-Z_:][a-zA-Z0-9_:]*");
  static const std::regex kHelp("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)");
  static const std::regex kType(
      "# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) "
      "(counter|gauge|histogram|summary|untyped)");
  static const std::regex kSample(
      "([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(.*)\\})? "
      "([+-]?(Inf|NaN|[0-9]+(\\.[0-9]*)?([eE][+-]?[0-9]+)?|\\.[0-9]+([eE][+-]?[0-9]+)?))"
      "( -?[0-9]+)?");
  static const std::regex kLabel("([a-zA-Z_][a-zA-Z0-9_]*)=\"((?:[^\"\\\\\\n]|\\\\[\\\\\"n])*)\"");
  families.clear();
  if (text.empty() || text.back() != '\n') {
    error = "the text does not end with a line end";
    return false;
  }
  std::set<std::string> done;    // families whose samples are over
  std::set<std::string> series;  // name and labels of every sample
  std::string current;           // the family the last sample belonged to
  const auto familyOf = [&families](const std::string& name) {
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string s = suffix;
      if (name.size() > s.size() && name.ends_with(s)) {
        const std::string base = name.substr(0, name.size() - s.size());
        const auto it = families.find(base);
        if (it != families.end() && it->second.type == "histogram") return base;
      }
    }
    return name;
  };
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const std::string at = "line " + std::to_string(number) + " '" + line + "': ";
    std::smatch m;
    if (line.empty()) continue;
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      const bool help = line[2] == 'H';
      if (!std::regex_match(line, m, help ? kHelp : kType)) {
        error = at + "not a HELP or TYPE line";
        return false;
      }
      const std::string name = m[1];
      Family& family = families[name];
      if (done.count(name) != 0 || !family.samples.empty()) {
        error = at + "comes after the family's samples";
        return false;
      }
      std::string& field = help ? family.help : family.type;
      if (!field.empty()) {
        error = at + "given twice";
        return false;
      }
      field = m[2];
      continue;
    }
    if (line[0] == '#') continue;  // a comment
    if (!std::regex_match(line, m, kSample)) {
      error = at + "not a sample";
      return false;
    }
    Sample sample;
    sample.name = m[1];
    const std::string labels = m[3];
    for (auto it = std::sregex_iterator(labels.begin(), labels.end(), kLabel);
         it != std::sregex_iterator(); ++it) {
      if (!sample.labels.emplace((*it)[1], (*it)[2]).second) {
        error = at + "a label twice";
        return false;
      }
    }
    // The labels must be exactly a comma-separated list of label pairs.
    std::string rebuilt;
    for (auto it = std::sregex_iterator(labels.begin(), labels.end(), kLabel);
         it != std::sregex_iterator(); ++it) {
      rebuilt += (rebuilt.empty() ? "" : ",") + it->str();
    }
    if (rebuilt != labels && rebuilt + "," != labels) {
      error = at + "labels outside the grammar";
      return false;
    }
    const std::string value = m[4];
    sample.value = value.find("Inf") != std::string::npos ? (value[0] == '-' ? -INFINITY : INFINITY)
                   : value.find("NaN") != std::string::npos ? NAN
                                                            : std::stod(value);
    const std::string family = familyOf(sample.name);
    const auto it = families.find(family);
    if (it == families.end() || it->second.type.empty()) {
      error = at + "a sample without TYPE";
      return false;
    }
    if (family != current) {
      if (done.count(family) != 0) {
        error = at + "the family's samples are apart";
        return false;
      }
      if (!current.empty()) done.insert(current);
      current = family;
    }
    if (!series.insert(sample.name + "{" + labels + "}").second) {
      error = at + "a series twice";
      return false;
    }
    if (it->second.type == "counter" && !sample.name.ends_with("_total")) {
      error = at + "a counter not named _total";
      return false;
    }
    it->second.samples.push_back(std::move(sample));
  }
  for (const auto& [name, family] : families) {
    if (!std::regex_match(name, kName) || family.type.empty() || family.help.empty()) {
      error = name + ": HELP or TYPE missing";
      return false;
    }
    if (family.type != "histogram") continue;
    double previousBound = -INFINITY;
    double previousCount = 0;
    double infinity = -1;
    double count = -1;
    bool sum = false;
    for (const Sample& s : family.samples) {
      if (s.name == name + "_bucket") {
        const auto le = s.labels.find("le");
        if (le == s.labels.end() || infinity >= 0) {
          error = name + ": a bucket without le, or after +Inf";
          return false;
        }
        const double bound = le->second == "+Inf" ? INFINITY : std::stod(le->second);
        if (bound <= previousBound || s.value < previousCount) {
          error = name + ": buckets not ascending or not cumulative at le=" + le->second;
          return false;
        }
        previousBound = bound;
        previousCount = s.value;
        if (std::isinf(bound)) infinity = s.value;
      } else if (s.name == name + "_count") {
        count = s.value;
      } else if (s.name == name + "_sum") {
        sum = true;
      }
    }
    if (infinity < 0 || !sum || count != infinity) {
      error = name + ": no +Inf bucket, no _sum, or _count unlike the +Inf bucket";
      return false;
    }
  }
  return true;
}

double Value(const std::map<std::string, Family>& families, const std::string& family,
             const std::string& name, const std::map<std::string, std::string>& labels = {}) {
  const auto it = families.find(family);
  if (it == families.end()) return -1;
  for (const Sample& s : it->second.samples) {
    if (s.name == name && s.labels == labels) return s.value;
  }
  return -1;
}

TEST(ServiceMetricsTest, ThePageFollowsTheTextFormatAndSaysWhatWasCounted) {
  CServiceMetrics metrics;
  for (int i = 0; i < 3; ++i) metrics.CountLogin(true);
  metrics.CountLogin(false);
  metrics.AddBytesReceived(1000);
  metrics.AddBytesReceived(24);
  metrics.AddBytesSent(uint64_t{5} << 32);  // past 32 bits
  metrics.CountTransfer(true);
  metrics.CountTransfer(true);
  metrics.CountTransfer(false);
  metrics.CountQuotaRefusal();
  metrics.PassivePortOpened();
  metrics.PassivePortOpened();
  metrics.PassivePortClosed();
  // A bound belongs to its own bucket; 20 s is past every bound.
  for (const int64_t us : {500, 1000, 3000, 20000000}) metrics.ObserveRoundTrip(us);

  const std::string text = RenderMetricsText(metrics.Read(), {7, 2, true});
  std::map<std::string, Family> page;
  std::string error;
  ASSERT_TRUE(ParseExposition(text, page, error)) << error << "\n" << text;

  const struct {
    const char* family;
    const char* type;
    const char* name;
    std::map<std::string, std::string> labels;
    double value;
  } expected[] = {
      {"zelmftp_sessions", "gauge", "zelmftp_sessions", {}, 7},
      {"zelmftp_logins_total", "counter", "zelmftp_logins_total", {{"result", "accepted"}}, 3},
      {"zelmftp_logins_total", "counter", "zelmftp_logins_total", {{"result", "refused"}}, 1},
      {"zelmftp_bans", "gauge", "zelmftp_bans", {}, 2},
      {"zelmftp_received_bytes_total", "counter", "zelmftp_received_bytes_total", {}, 1024},
      {"zelmftp_sent_bytes_total", "counter", "zelmftp_sent_bytes_total", {}, 5.0 * 4294967296},
      {"zelmftp_transfers_total",
       "counter",
       "zelmftp_transfers_total",
       {{"result", "completed"}},
       2},
      {"zelmftp_transfers_total", "counter", "zelmftp_transfers_total", {{"result", "failed"}}, 1},
      {"zelmftp_quota_refusals_total", "counter", "zelmftp_quota_refusals_total", {}, 1},
      {"zelmftp_management_link_up", "gauge", "zelmftp_management_link_up", {}, 1},
      {"zelmftp_passive_ports_in_use", "gauge", "zelmftp_passive_ports_in_use", {}, 1},
      {"zelmftp_management_round_trip_seconds",
       "histogram",
       "zelmftp_management_round_trip_seconds_bucket",
       {{"le", "0.001"}},
       2},
      {"zelmftp_management_round_trip_seconds",
       "histogram",
       "zelmftp_management_round_trip_seconds_bucket",
       {{"le", "0.0025"}},
       2},
      {"zelmftp_management_round_trip_seconds",
       "histogram",
       "zelmftp_management_round_trip_seconds_bucket",
       {{"le", "0.005"}},
       3},
      {"zelmftp_management_round_trip_seconds",
       "histogram",
       "zelmftp_management_round_trip_seconds_bucket",
       {{"le", "10"}},
       3},
      {"zelmftp_management_round_trip_seconds",
       "histogram",
       "zelmftp_management_round_trip_seconds_bucket",
       {{"le", "+Inf"}},
       4},
      {"zelmftp_management_round_trip_seconds",
       "histogram",
       "zelmftp_management_round_trip_seconds_count",
       {},
       4},
      {"zelmftp_management_round_trip_seconds",
       "histogram",
       "zelmftp_management_round_trip_seconds_sum",
       {},
       20.0045},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(std::string(e.name) + (e.labels.empty() ? "" : " " + e.labels.begin()->second));
    ASSERT_EQ(page.count(e.family), 1u);
    EXPECT_EQ(page.at(e.family).type, e.type);
    EXPECT_DOUBLE_EQ(Value(page, e.family, e.name, e.labels), e.value);
  }
  // Every family is one of ours; nothing else is on the page.
  EXPECT_EQ(page.size(), 10u);
  // An idle service's page reads as well (zero everywhere, the link down).
  CServiceMetrics idle;
  ASSERT_TRUE(ParseExposition(RenderMetricsText(idle.Read(), {}), page, error)) << error;
  EXPECT_EQ(Value(page, "zelmftp_management_link_up", "zelmftp_management_link_up"), 0);
}

TEST(ServiceMetricsTest, TheReaderRefusesWhatAScraperWouldMisread) {
  const std::string good =
      "# HELP x_total X.\n# TYPE x_total counter\nx_total 1\n"
      "# HELP h H.\n# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_bucket{le=\"+Inf\"} 2\n"
      "h_sum 3.5\nh_count 2\n";
  std::map<std::string, Family> page;
  std::string error;
  ASSERT_TRUE(ParseExposition(good, page, error)) << error;
  const struct {
    const char* what;
    std::string text;
  } broken[] = {
      {"no line end", good.substr(0, good.size() - 1)},
      {"sample before TYPE", "x_total 1\n# HELP x_total X.\n# TYPE x_total counter\n"},
      {"bad name", "# HELP 1x X.\n# TYPE 1x gauge\n1x 1\n"},
      {"bad value", "# HELP g G.\n# TYPE g gauge\ng 1,5\n"},
      {"bad label", "# HELP g G.\n# TYPE g gauge\ng{a=b} 1\n"},
      {"counter without _total", "# HELP c C.\n# TYPE c counter\nc 1\n"},
      {"buckets going down",
       "# HELP h H.\n# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\n"
       "h_sum 1\nh_count 1\n"},
      {"+Inf unlike _count",
       "# HELP h H.\n# TYPE h histogram\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 3\n"},
      {"a series twice", "# HELP g G.\n# TYPE g gauge\ng 1\ng 2\n"},
      {"families apart",
       "# HELP g G.\n# TYPE g gauge\ng{a=\"1\"} 1\n# HELP f F.\n# TYPE f gauge\nf 1\n"
       "g{a=\"2\"} 1\n"},
  };
  for (const auto& b : broken) {
    EXPECT_FALSE(ParseExposition(b.text, page, error)) << b.what;
  }
}

TEST(ServiceMetricsTest, CountsFromManyThreadsAddUp) {
  CServiceMetrics metrics;
  constexpr int kThreads = 4;
  constexpr int kEach = 10000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&metrics] {
      for (int i = 0; i < kEach; ++i) {
        metrics.AddBytesSent(3);
        metrics.CountLogin(i % 2 == 0);
        metrics.PassivePortOpened();
        metrics.ObserveRoundTrip(i % 7 == 0 ? 30000000 : 2000);
        metrics.PassivePortClosed();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const CServiceMetrics::Snapshot s = metrics.Read();
  EXPECT_EQ(s.bytesSent, uint64_t{3} * kThreads * kEach);
  EXPECT_EQ(s.loginsAccepted + s.loginsRefused, uint64_t{kThreads} * kEach);
  EXPECT_EQ(s.passivePortsInUse, 0);
  uint64_t answers = 0;
  for (const uint64_t n : s.roundTrips) answers += n;
  EXPECT_EQ(answers, uint64_t{kThreads} * kEach);
  EXPECT_EQ(s.roundTrips.back(), uint64_t{kThreads} * ((kEach + 6) / 7));
}

}  // namespace
}  // namespace zelm
