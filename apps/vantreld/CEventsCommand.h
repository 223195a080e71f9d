#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>

// "vantreld events": the device history (DeviceEvents), every event or those of one device
// and/or a time range, oldest first; at most --limit of them (the latest), saying when
// older ones matched too. Text, one JSON object per line, or CSV.
class CEventsCommand {
 public:
  static constexpr std::size_t kDefaultLimit = 1000;
  static constexpr std::size_t kHighestLimit = 1000000;

  // Adds the "events" command to `app`; its callback sets exitCode. Main thread.
  static void Register(CLI::App& app, int& exitCode);

 private:
  int Run(const CLI::App& command);

  std::string m_device, m_from, m_to;
  std::size_t m_limit = kDefaultLimit;
  bool m_json = false;
  bool m_csv = false;
};
