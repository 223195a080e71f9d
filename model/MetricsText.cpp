#include "model/MetricsText.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <utility>

namespace {

// A reason or result as a label value: in lower case with words joined by "_"
// ("per-address cap" is per_address_cap).
std::string Snake(const std::string& name) {
  std::string value;
  for (const char c : name)
    value += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '_';
  return value;
}

// Any other text as a label value: backslash, quote and line feed escaped.
std::string Escaped(const std::string& text) {
  std::string value;
  for (const char c : text) {
    if (c == '\\' || c == '"') value += '\\';
    value += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return value;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

std::string Number(double value) {
  if (!std::isfinite(value)) return "NaN";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// Writes one family: its HELP and TYPE lines, then each sample.
class Family {
 public:
  Family(std::string& page, const char* name, const char* type, const char* help) : m_page(page), m_name(name) {
    m_page += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& value) { m_page += m_name + " " + value + "\n"; }
  void Sample(const char* label, const std::string& labelValue, const std::string& value) {
    m_page += m_name + "{" + label + "=\"" + labelValue + "\"} " + value + "\n";
  }

 private:
  std::string& m_page;
  const std::string m_name;
};

void Gauge(std::string& page, const char* name, const char* help, std::uint64_t value) {
  Family(page, name, "gauge", help).Sample(Number(value));
}

void Counter(std::string& page, const char* name, const char* help, std::uint64_t value) {
  Family(page, name, "counter", help).Sample(Number(value));
}

void ServiceFamilies(std::string& page, const ServiceSnapshot& snapshot) {
  Family state(page, "vantrel_service_state", "gauge", "1 for the state the forwarding service is in, else 0.");
  using State = ServiceSnapshot::State;
  for (const State value : {State::Running, State::Paused, State::Stopped})
    state.Sample("state", ServiceStateName(value), snapshot.ServiceState == value ? "1" : "0");

  Gauge(page, "vantrel_devices_configured", "Devices with a tunnel.", snapshot.Configured);
  Gauge(page, "vantrel_devices_connected", "Registered device connections open.", snapshot.Connected);
  Gauge(page, "vantrel_devices_matched_online", "Registered device connections open of devices with a tunnel.",
        snapshot.MatchedOnline);

  const ForwardingCounters& counts = snapshot.Counters;
  std::uint64_t refusedRegistrations = 0;
  for (const char* reason : {"binding", "unconfigured"}) {
    auto it = snapshot.Refused.find(reason);
    if (it != snapshot.Refused.end()) refusedRegistrations += it->second;
  }
  Family registrations(page, "vantrel_registrations_total", "counter",
                       "Registrations by result: accepted for a device with a tunnel or without one, or refused.");
  registrations.Sample("result", "configured", Number(counts.RegisteredConfigured));
  registrations.Sample("result", "unconfigured", Number(counts.RegisteredUnconfigured));
  registrations.Sample("result", "refused", Number(refusedRegistrations));

  Family bytes(page, "vantrel_bytes_total", "counter",
               "Bytes of device data forwarded: received from devices for their ports, and written to devices.");
  bytes.Sample("direction", "to_port", Number(counts.BytesToPort));
  bytes.Sample("direction", "to_device", Number(counts.BytesToDevice));
  Family records(page, "vantrel_records_total", "counter",
                 "Records of device data forwarded: received from devices for their ports, and written to devices.");
  records.Sample("direction", "to_port", Number(counts.RecordsToPort));
  records.Sample("direction", "to_device", Number(counts.RecordsToDevice));

  Counter(page, "vantrel_records_stored_total", "Records that did not reach their port, stored as not forwarded.",
          counts.RecordsStored);
  Counter(page, "vantrel_records_not_stored_total",
          "Records that did not reach their port and were not stored: the store was at its limit.",
          counts.RecordsNotStored);
  Counter(page, "vantrel_records_rejected_total",
          "Records that did not reach their port and were dropped: the database rejected them.",
          counts.RecordsRejected);
  {
    Family stored(page, "vantrel_store_bytes", "gauge", "Bytes of not-forwarded data stored.");
    if (snapshot.StoreBytes) stored.Sample(Number(*snapshot.StoreBytes));
  }
  Gauge(page, "vantrel_store_limit_bytes", "The store's limit (NotTransMaxBytes).", snapshot.StoreLimit);

  std::uint64_t open = 0;
  for (const ServiceSnapshot::Port& port : snapshot.Ports) open += port.Open ? 1 : 0;
  Family ports(page, "vantrel_ports", "gauge", "Serial ports named by tunnels, open or not open (failed).");
  ports.Sample("state", "open", Number(open));
  ports.Sample("state", "failed", Number(snapshot.Ports.size() - open));

  Family queues(page, "vantrel_queue_records", "gauge", "Records waiting in each queue of the forwarding core.");
  for (const auto& [queue, count] : snapshot.Queues) queues.Sample("queue", Escaped(queue), Number(count));

  Family refusals(page, "vantrel_refusals_total", "counter", "Connections and registrations refused, by reason.");
  for (const auto& [reason, count] : snapshot.Refused) refusals.Sample("reason", Snake(reason), Number(count));

  Family handshakes(page, "vantrel_tls_handshakes_total", "counter",
                    "TLS handshakes by result: succeeded, or the reason it failed.");
  if (snapshot.TlsHandshakes.empty()) handshakes.Sample("result", "succeeded", "0");
  for (const auto& [result, count] : snapshot.TlsHandshakes)
    handshakes.Sample("result", Snake(result), Number(count));
}

template <typename T>
void ProcessFamily(std::string& page, const char* name, const char* type, const char* help, const std::optional<T>& value) {
  if (value) Family(page, name, type, help).Sample(Number(*value));
}

void ProcessFamilies(std::string& page, const ProcessFigures& process) {
  ProcessFamily(page, "process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.",
                process.CpuSeconds);
  ProcessFamily(page, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
                process.ResidentBytes);
  ProcessFamily(page, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", process.VirtualBytes);
  ProcessFamily(page, "process_open_fds", "gauge", "Number of open file descriptors.", process.OpenDescriptors);
  ProcessFamily(page, "process_max_fds", "gauge", "Maximum number of open file descriptors.", process.MaxDescriptors);
  ProcessFamily(page, "process_threads", "gauge", "Number of threads.", process.Threads);
  ProcessFamily(page, "process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.",
                process.StartTimeSeconds);
}

}  // namespace

std::string MetricsText(const ServiceSnapshot& snapshot, const ProcessFigures& process) {
  std::string page;
  page.reserve(4096);
  ServiceFamilies(page, snapshot);
  ProcessFamilies(page, process);
  return page;
}
