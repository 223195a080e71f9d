#include "platform/AppPaths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

}  // namespace

std::string ExecutableDirectory() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : exe.parent_path().string();
}

std::string ApplicationDirectory() { return EnvOr("VANTREL_APP_DIR", ExecutableDirectory()); }

std::string AppFilePath(const std::string& name) {
  return (std::filesystem::path(ApplicationDirectory()) / name).string();
}

std::string PortDirectory() { return EnvOr("VANTREL_PORT_DIR", AppFilePath("ports")); }
