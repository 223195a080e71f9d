#include "PortProblem.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/AppPaths.h"
#include "platform/CPairRecord.h"
#include "serial/CSerial.h"

std::string PortProblem(const std::string& portName, PortStep step) {
  const int number = portName.size() > 3 ? std::atoi(portName.c_str() + 3) : 0;
  if (number < 1 || number > 1024) return "\"" + portName + "\" is not a port name from COM1 to COM1024";
  const std::string path = CSerial::DevicePath(number);
  struct stat info {};
  // A port folder this user may not enter hides its entries: say so, not that they are missing.
  if (::lstat((PortDirectory() + "/" + portName).c_str(), &info) != 0 && errno == EACCES)
    return PortDirectory() + "/" + portName + ": " + std::strerror(errno) + " (the service's user may not enter " +
           PortDirectory() + ")";
  if (::lstat(path.c_str(), &info) != 0) {
    return "neither " + PortDirectory() + "/" + portName + " nor " + path + " exists (" + std::strerror(errno) +
           "); create a pair with: setupc install PortName=" + portName + " PortName=" + portName + "_FF";
  }
  if (CPairRecord::IsOrphanedEnd(PortDirectory(), portName))
    return path + " is an end of a setupc pair whose background process is gone; re-create it with: setupc restore";
  if (S_ISLNK(info.st_mode) && ::stat(path.c_str(), &info) != 0) {
    std::error_code error;
    return path + " leads to " + std::filesystem::read_symlink(path, error).string() + ", which cannot be reached (" +
           std::strerror(errno) + ")";
  }
  if (::access(path.c_str(), R_OK | W_OK) != 0) {
    const int error = errno;
    return path + ": " + std::strerror(error) +
           (error == EACCES ? " (give the service's user access, e.g. membership of the device's group)" : "");
  }
  if (step == PortStep::Write)
    return path + " did not take the data in time (the program on its other end stopped reading, or the device is gone)";
  return path + " refused the open or the line settings (held by another program, or no device behind it)";
}
