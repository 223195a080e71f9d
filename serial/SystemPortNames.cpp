#include "serial/SystemPortNames.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "model/TunnelFields.h"
#include "platform/AppPaths.h"
#include "platform/CPairRecord.h"
#include "platform/WriteDebugLine.h"

namespace {

int PortNumber(const std::string& name) { return std::stoi(name.substr(3)); }

// The serial core lists every possible ttyS line; only those with a UART behind them have
// a type other than 0 (unknown). Read from sysfs: opening the device would raise its
// modem lines.
bool RealUart(const std::filesystem::path& tty) {
  std::ifstream typeFile(tty / "type");
  int type = 0;
  return static_cast<bool>(typeFile >> type) && type != 0;
}

}  // namespace

std::vector<std::string> SystemPortNames() {
  std::set<std::string> names;
  const std::string directory = PortDirectory();
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    // The driver opens exactly "COM<n>" there.
    if (PortField(name) != name) continue;
    if (!CPairRecord::IsOrphanedEnd(directory, name)) names.insert(name);
  }
  if (error && error != std::errc::no_such_file_or_directory)
    WriteDebugLine("[ERROR]", "SystemPortNames: cannot read %s: %s\n", directory.c_str(), error.message().c_str());
  error.clear();
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/tty", error)) {
    const std::string tty = entry.path().filename().string();
    if (!tty.starts_with("ttyS") || tty.size() == 4 || tty.size() > 8 ||
        !std::all_of(tty.begin() + 4, tty.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const std::optional<std::string> name = PortField("COM" + std::to_string(std::stoi(tty.substr(4)) + 1));
    if (name && RealUart(entry.path())) names.insert(*name);
  }
  std::vector<std::string> ordered(names.begin(), names.end());
  std::sort(ordered.begin(), ordered.end(),
            [](const std::string& a, const std::string& b) { return PortNumber(a) < PortNumber(b); });
  return ordered;
}
