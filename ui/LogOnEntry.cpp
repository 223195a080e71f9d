#include "ui/LogOnEntry.h"

#include <filesystem>

#include "platform/AppPaths.h"
#include "platform/AutostartEntry.h"

namespace {

std::string Absolute(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

}  // namespace

std::vector<std::string> LogOnCommand(const std::string& program) {
  return {"env", "VANTREL_APP_DIR=" + Absolute(ApplicationDirectory()), "VANTREL_PORT_DIR=" + Absolute(PortDirectory()),
          program};
}

int WriteLogOnEntry(const std::string& program) {
  std::error_code error;
  const std::filesystem::path current = std::filesystem::current_path(error);
  return WriteAutostartEntry(LogOnCommand(program), error ? std::string() : current.string());
}
