// The metrics page as a monitoring system reads it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HttpExchange.h"
#include "TempDir.h"
#include "model/MetricsText.h"

namespace {

ServiceSnapshot SomeSnapshot() {
  ServiceSnapshot snapshot;
  snapshot.ServiceState = ServiceSnapshot::State::Paused;
  snapshot.Configured = 7;
  snapshot.Connected = 5;
  snapshot.MatchedOnline = 4;
  snapshot.Refused = {{"network", 1}, {"throttled", 0}, {"per-address cap", 2}, {"binding", 3}, {"unconfigured", 4}};
  snapshot.TlsHandshakes = {{"succeeded", 9}, {"not-tls", 1}};
  snapshot.Counters.BytesToPort = 1000;
  snapshot.Counters.BytesToDevice = 2000;
  snapshot.Counters.RecordsToPort = 10;
  snapshot.Counters.RecordsToDevice = 20;
  snapshot.Counters.RegisteredConfigured = 6;
  snapshot.Counters.RegisteredUnconfigured = 1;
  snapshot.Counters.RecordsStored = 3;
  snapshot.Counters.RecordsNotStored = 2;
  snapshot.Ports = {{"COM1", true, {}}, {"COM2", false, {}}, {"COM3", true, {}}};
  snapshot.StoreBytes = 4096;
  snapshot.StoreLimit = 1 << 30;
  snapshot.Queues = {{"TcpRecvQueue", 11}, {"ComSendQueue", 0}};
  return snapshot;
}

ProcessFigures SomeProcess() {
  ProcessFigures process;
  process.ResidentBytes = 8 << 20;
  process.OpenDescriptors = 42;
  process.Threads = 17;
  process.CpuSeconds = 1.25;
  return process;
}

}  // namespace

TEST(MetricsText, EachFigureUnderItsName) {
  const std::map<std::string, double> samples = MetricSamples(MetricsText(SomeSnapshot(), SomeProcess()));
  const std::map<std::string, double> expected = {
      {"vantrel_devices_configured", 7},
      {"vantrel_devices_connected", 5},
      {"vantrel_devices_matched_online", 4},
      {"vantrel_bytes_total{direction=\"to_port\"}", 1000},
      {"vantrel_bytes_total{direction=\"to_device\"}", 2000},
      {"vantrel_records_total{direction=\"to_port\"}", 10},
      {"vantrel_records_total{direction=\"to_device\"}", 20},
      {"vantrel_records_stored_total", 3},
      {"vantrel_records_not_stored_total", 2},
      {"vantrel_registrations_total{result=\"configured\"}", 6},
      {"vantrel_registrations_total{result=\"unconfigured\"}", 1},
      {"vantrel_registrations_total{result=\"refused\"}", 7},
      {"vantrel_refusals_total{reason=\"per_address_cap\"}", 2},
      {"vantrel_refusals_total{reason=\"throttled\"}", 0},
      {"vantrel_tls_handshakes_total{result=\"succeeded\"}", 9},
      {"vantrel_tls_handshakes_total{result=\"not_tls\"}", 1},
      {"vantrel_ports{state=\"open\"}", 2},
      {"vantrel_ports{state=\"failed\"}", 1},
      {"vantrel_store_bytes", 4096},
      {"vantrel_store_limit_bytes", 1 << 30},
      {"vantrel_queue_records{queue=\"TcpRecvQueue\"}", 11},
      {"vantrel_service_state{state=\"paused\"}", 1},
      {"vantrel_service_state{state=\"running\"}", 0},
      {"process_resident_memory_bytes", 8 << 20},
      {"process_open_fds", 42},
      {"process_threads", 17},
      {"process_cpu_seconds_total", 1.25},
  };
  for (const auto& [name, value] : expected) {
    auto it = samples.find(name);
    ASSERT_NE(it, samples.end()) << name;
    EXPECT_EQ(it->second, value) << name;
  }
  // Not known: left out, not shown as 0.
  EXPECT_EQ(samples.count("process_virtual_memory_bytes"), 0u);
}

// Every family has its HELP and TYPE before its samples, once; promtool, where installed,
// finds nothing to complain about, also with a store size not known and a queue name that
// needs escaping.
TEST(MetricsText, EveryFamilyIsDescribedAndThePageIsValid) {
  ServiceSnapshot odd = SomeSnapshot();
  odd.StoreBytes.reset();
  odd.TlsHandshakes.clear();
  odd.Queues["a \"quoted\\queue\nname"] = 1;
  for (const ServiceSnapshot& snapshot : {SomeSnapshot(), odd}) {
    const std::string page = MetricsText(snapshot, SomeProcess());
    std::set<std::string> described, typed, sampled;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string first, second, third;
      words >> first >> second >> third;
      if (first == "#" && second == "HELP") {
        EXPECT_TRUE(described.insert(third).second) << "described twice: " << third;
      } else if (first == "#" && second == "TYPE") {
        EXPECT_TRUE(typed.insert(third).second) << "typed twice: " << third;
        EXPECT_TRUE(described.count(third)) << third;
      } else {
        const std::string name = line.substr(0, line.find_first_of("{ "));
        EXPECT_TRUE(typed.count(name)) << "sample before its TYPE: " << line;
        sampled.insert(name);
      }
    }
    for (const std::string& name : sampled) EXPECT_TRUE(described.count(name)) << name;

    const PromtoolVerdict verdict = PromtoolCheck(page);
    if (verdict.Status < 0) continue;
    EXPECT_EQ(verdict.Status, 0) << verdict.Output << page;
  }
  EXPECT_NE(MetricsText(odd, SomeProcess()).find("queue=\"a \\\"quoted\\\\queue\\nname\"} 1\n"), std::string::npos);
}

// The README's scrape configuration and alert rules as an operator copies them: promtool
// reads both, and the alert fires for a gateway whose devices online drop by 10 % within
// five minutes, not for a smaller drop, not for a gateway of a few devices.
TEST(MetricsReadme, TheScrapeConfigurationAndTheAlertRulesWork) {
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool is not installed";
  std::ifstream readme(std::string(VANTREL_SOURCE_DIR) + "/README.md");
  std::ostringstream text;
  text << readme.rdbuf();
  const std::string all = text.str();
  const std::size_t section = all.find("## Metrics for a monitoring system");
  ASSERT_NE(section, std::string::npos);
  std::vector<std::string> blocks;
  for (std::size_t at = all.find("```yaml\n", section); at != std::string::npos && blocks.size() < 2;
       at = all.find("```yaml\n", at)) {
    at += 8;
    blocks.push_back(all.substr(at, all.find("```", at) - at));
  }
  ASSERT_EQ(blocks.size(), 2u);
  TempDir dir;
  dir.Write("prometheus.yml", blocks[0]);
  dir.Write("vantrel-rules.yml", blocks[1]);
  dir.Write("test.yml", R"(rule_files:
  - vantrel-rules.yml
evaluation_interval: 15s
tests:
  - interval: 15s
    input_series:
      - series: 'vantrel_devices_matched_online{instance="gw-a:9464",job="vantrel"}'
        values: '100x20 89x20'
      - series: 'vantrel_devices_matched_online{instance="gw-b:9464",job="vantrel"}'
        values: '100x20 91x20'
      - series: 'vantrel_devices_matched_online{instance="gw-c:9464",job="vantrel"}'
        values: '9x20 5x20'
      - series: 'up{instance="gw-a:9464",job="vantrel"}'
        values: '1x40'
      - series: 'up{instance="gw-b:9464",job="vantrel"}'
        values: '1x20 0x20'
    alert_rule_test:
      - eval_time: 6m
        alertname: VantrelDevicesOnlineDropped
        exp_alerts:
          - exp_labels: {severity: warning, instance: "gw-a:9464", job: vantrel}
            exp_annotations:
              summary: "gw-a:9464: devices online dropped by 10 % or more in 5 minutes"
              description: "89 devices online now."
      - eval_time: 11m
        alertname: VantrelDevicesOnlineDropped
        exp_alerts: []
      - eval_time: 8m
        alertname: VantrelGatewayDown
        exp_alerts:
          - exp_labels: {severity: critical, instance: "gw-b:9464", job: vantrel}
            exp_annotations:
              summary: "gw-b:9464: the metrics page does not answer"
)");
  const std::string command = "cd '" + dir.Path() +
                              "' && promtool check config prometheus.yml > said.txt 2>&1 && "
                              "promtool test rules test.yml >> said.txt 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << dir.Read("said.txt");
}
