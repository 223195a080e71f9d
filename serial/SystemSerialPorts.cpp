#include "serial/SystemSerialPorts.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "model/TunnelFields.h"
#include "platform/AppPaths.h"
#include "platform/WriteDebugLine.h"

namespace {

constexpr int kHighestPort = 1024;

int PortNumber(const std::string& name) { return std::stoi(name.substr(3)); }

// Every /dev/ttyS<n> exists on a PC whether or not a UART sits behind it; only the
// driver's port type tells them apart. Read from sysfs where it can be, because opening a
// serial port raises its modem lines, which resets some attached devices.
bool IsRealUart(int index, const std::string& path) {
  std::ifstream sysfsType("/sys/class/tty/ttyS" + std::to_string(index) + "/type");
  int type = PORT_UNKNOWN;
  if (sysfsType >> type) return type != PORT_UNKNOWN;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENXIO && errno != EIO)
      WriteDebugLine("[ERROR]", "SystemSerialPorts: cannot look at %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  serial_struct info{};
  const bool real = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  ::close(fd);
  return real;
}

}  // namespace

std::vector<std::string> SystemSerialPorts() {
  auto byNumber = [](const std::string& a, const std::string& b) { return PortNumber(a) < PortNumber(b); };
  std::set<std::string, decltype(byNumber)> ports(byNumber);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(PortDirectory(), error)) {
    // The other end of a pair (COM5_FF) is the local program's, not a port name.
    if (const auto name = PortField(entry.path().filename().string()); name && *name == entry.path().filename())
      ports.insert(*name);
  }
  if (error && error != std::errc::no_such_file_or_directory)
    WriteDebugLine("[ERROR]", "SystemSerialPorts: cannot read %s: %s\n", PortDirectory().c_str(),
                   error.message().c_str());
  for (int n = 1; n <= kHighestPort; ++n) {
    const std::string path = "/dev/ttyS" + std::to_string(n - 1);
    if (!std::filesystem::exists(path, error)) continue;
    if (IsRealUart(n - 1, path)) ports.insert("COM" + std::to_string(n));
  }
  return {ports.begin(), ports.end()};
}
