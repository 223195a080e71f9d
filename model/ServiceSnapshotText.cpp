#include "model/ServiceSnapshotText.h"

#include <charconv>
#include <cstdint>
#include <functional>
#include <sstream>
#include <vector>

namespace {

using Time = ServiceSnapshot::Time;

std::string Escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::optional<std::string> Unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    if (text[i] == '\\')
      out += '\\';
    else if (text[i] == 't')
      out += '\t';
    else if (text[i] == 'n')
      out += '\n';
    else
      return std::nullopt;
  }
  return out;
}

std::string TimeField(const std::optional<Time>& time) {
  if (!time) return "-";
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(time->time_since_epoch()).count());
}

// Builds one line from its fields.
class Line {
 public:
  explicit Line(const char* kind) : m_text(kind) {}
  Line& Text(const std::string& value) {
    m_text += '\t' + Escaped(value);
    return *this;
  }
  Line& Number(std::uint64_t value) { return Text(std::to_string(value)); }
  Line& Flag(bool value) { return Text(value ? "1" : "0"); }
  Line& At(const std::optional<Time>& time) { return Text(TimeField(time)); }
  std::string End() const { return m_text + '\n'; }

 private:
  std::string m_text;
};

// Reads the fields of one line in order; any that cannot be read makes it fail.
class Fields {
 public:
  explicit Fields(std::vector<std::string> fields) : m_fields(std::move(fields)) {}
  bool Text(std::string& value) {
    if (m_next >= m_fields.size()) return m_ok = false;
    const std::optional<std::string> text = Unescaped(m_fields[m_next++]);
    if (!text) return m_ok = false;
    value = *text;
    return true;
  }
  template <typename Number>
  bool Count(Number& value) {
    std::string text;
    if (!Text(text)) return false;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (problem != std::errc() || end != text.data() + text.size() || text.empty()) return m_ok = false;
    return true;
  }
  bool Flag(bool& value) {
    std::uint64_t number = 0;
    if (!Count(number) || number > 1) return m_ok = false;
    value = number == 1;
    return true;
  }
  bool At(std::optional<Time>& time) {
    if (m_next < m_fields.size() && m_fields[m_next] == "-") {
      ++m_next;
      time.reset();
      return true;
    }
    std::int64_t ms = 0;
    if (!Count(ms)) return false;
    time = Time(std::chrono::duration_cast<Time::duration>(std::chrono::milliseconds(ms)));
    return true;
  }
  void Fail() { m_ok = false; }
  bool Ok() const { return m_ok; }

 private:
  std::vector<std::string> m_fields;
  std::size_t m_next = 1;  // past the kind
  bool m_ok = true;
};

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace

std::string EncodeSnapshot(const ServiceSnapshot& snapshot) {
  std::string text = Line("snapshot").Number(1).End();
  text += Line("state").Text(ServiceStateName(snapshot.ServiceState)).At(snapshot.Since).End();
  for (const ServiceSnapshot::Listener& listener : snapshot.Listeners)
    text += Line("listener").Text(listener.Address).Number(listener.Port).Flag(listener.Tls).End();
  text += Line("counts").Number(snapshot.Configured).Number(snapshot.Connected).Number(snapshot.MatchedOnline).End();
  for (const auto& [reason, count] : snapshot.Refused) text += Line("refused").Text(reason).Number(count).End();
  for (const ServiceSnapshot::Device& device : snapshot.Devices) {
    text += Line("device")
                .Text(device.Id)
                .Flag(device.Connected)
                .Flag(device.Tls)
                .Text(device.Port)
                .Flag(device.PortOpen)
                .Text(device.Phone)
                .Text(device.Address)
                .At(device.ConnectedSince)
                .Number(device.BytesIn)
                .Number(device.BytesOut)
                .At(device.LastDataAt)
                .End();
  }
  for (const ServiceSnapshot::Port& port : snapshot.Ports)
    text += Line("port").Text(port.Name).Flag(port.Open).At(port.FailedSince).End();
  text += Line("store").Text(snapshot.StoreBytes ? std::to_string(*snapshot.StoreBytes) : "-").Number(snapshot.StoreLimit).End();
  for (const auto& [name, count] : snapshot.Queues) text += Line("queue").Text(name).Number(count).End();
  return text;
}

std::optional<ServiceSnapshot> DecodeSnapshot(const std::string& text, std::string& error) {
  ServiceSnapshot snapshot;
  std::istringstream lines(text);
  std::string line;
  bool marked = false;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    std::vector<std::string> split = Split(line);
    const std::string kind = split.front();
    Fields fields(std::move(split));
    if (kind == "snapshot") {
      unsigned version = 0;
      marked = fields.Count(version);
    } else if (kind == "state") {
      std::string state;
      fields.Text(state);
      bool known = false;
      for (int i = 0; i < static_cast<int>(std::size(kServiceStateNames)); ++i) {
        if (state != kServiceStateNames[i]) continue;
        snapshot.ServiceState = static_cast<ServiceSnapshot::State>(i);
        known = true;
      }
      if (!known) fields.Fail();
      fields.At(snapshot.Since);
    } else if (kind == "listener") {
      ServiceSnapshot::Listener listener;
      fields.Text(listener.Address);
      fields.Count(listener.Port);
      fields.Flag(listener.Tls);
      snapshot.Listeners.push_back(std::move(listener));
    } else if (kind == "counts") {
      fields.Count(snapshot.Configured);
      fields.Count(snapshot.Connected);
      fields.Count(snapshot.MatchedOnline);
    } else if (kind == "refused") {
      std::string reason;
      fields.Text(reason);
      fields.Count(snapshot.Refused[reason]);
    } else if (kind == "device") {
      ServiceSnapshot::Device device;
      fields.Text(device.Id);
      fields.Flag(device.Connected);
      fields.Flag(device.Tls);
      fields.Text(device.Port);
      fields.Flag(device.PortOpen);
      fields.Text(device.Phone);
      fields.Text(device.Address);
      fields.At(device.ConnectedSince);
      fields.Count(device.BytesIn);
      fields.Count(device.BytesOut);
      fields.At(device.LastDataAt);
      snapshot.Devices.push_back(std::move(device));
    } else if (kind == "port") {
      ServiceSnapshot::Port port;
      fields.Text(port.Name);
      fields.Flag(port.Open);
      fields.At(port.FailedSince);
      snapshot.Ports.push_back(std::move(port));
    } else if (kind == "store") {
      std::string bytes;
      fields.Text(bytes);
      if (bytes != "-") {
        std::uint64_t value = 0;
        const auto [end, problem] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value);
        if (problem != std::errc() || end != bytes.data() + bytes.size() || bytes.empty()) fields.Fail();
        snapshot.StoreBytes = value;
      }
      fields.Count(snapshot.StoreLimit);
    } else if (kind == "queue") {
      std::string name;
      fields.Text(name);
      fields.Count(snapshot.Queues[name]);
    }
    if (!fields.Ok()) {
      error = "line " + std::to_string(number) + " of the instance's status cannot be read: " + line;
      return std::nullopt;
    }
  }
  if (!marked) {
    error = "the instance's answer is not a status";
    return std::nullopt;
  }
  return snapshot;
}
