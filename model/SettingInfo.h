#pragma once

#include <cstdint>
#include <string>

// The settings record, with its defaults.
struct SettingInfo {
  std::string LocalIp;
  std::int32_t LocalPort = 0;
  bool BootAutoStart = false;
  bool AutoStartSimulation = false;
  bool FilterHearbeat = false;
  std::int32_t DelayComRead = 50;  // milliseconds
  bool Escape = false;

  bool operator==(const SettingInfo&) const = default;
};

// The process-wide settings, read live by the worker threads. Any thread; a reader
// gets a consistent copy, and a replacement takes effect on the next read.
SettingInfo CurrentSettings();
void ReplaceSettings(const SettingInfo& settings);
