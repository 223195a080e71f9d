#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/NotTransRecord.h"
#include "platform/DebugSink.h"

using Bytes = std::vector<unsigned char>;

inline NotTransRecord MakeRecord(const std::string& time, const std::string& deviceId, const Bytes& data) {
  NotTransRecord record{};
  std::copy(time.begin(), time.end(), record.ReceiveTime);
  SetDeviceId(record.Item, deviceId);
  record.Item.Kind = DATA_USER;
  record.Item.Length = static_cast<std::int32_t>(data.size());
  std::copy(data.begin(), data.end(), record.Item.Data);
  return record;
}

inline Bytes DataOf(const NotTransRecord& record) {
  return Bytes(record.Item.Data, record.Item.Data + record.Item.Length);
}

// Collects the diagnostic lines written while it lives, but for the data center's
// once-a-second queue statistics, which come whenever they come.
class DebugLines {
 public:
  DebugLines() {
    SetDebugCapture([this](std::string_view text) {
      if (text.starts_with("[MSG]Tcp Recv:")) return;
      std::lock_guard lock(m_mutex);
      m_lines.emplace_back(text);
    });
  }
  ~DebugLines() { SetDebugCapture(nullptr); }

  std::vector<std::string> Lines() {
    std::lock_guard lock(m_mutex);
    return m_lines;
  }

  bool Contains(std::string_view part) {
    std::lock_guard lock(m_mutex);
    for (const auto& line : m_lines) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};
