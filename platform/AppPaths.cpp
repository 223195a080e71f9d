#include "platform/AppPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>

#include "platform/AssignmentFile.h"

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

// What the package and the administrator decide, read once: neither changes while a
// program runs.
struct InstalledLayout {
  bool installed = false;
  std::string appDirectory;   // the service's folder
  std::string portDirectory;  // empty: <service's folder>/ports
  std::string problems;       // lines of the configuration files that could not be used
};

// The first configuration file that names `key` with an absolute path wins.
std::string Configured(const std::map<std::string, std::string> (&files)[2], const char* key, std::string& problems) {
  for (std::size_t i = 0; i < 2; ++i) {
    const auto found = files[i].find(key);
    if (found == files[i].end()) continue;
    if (!found->second.empty() && found->second[0] == '/') return found->second;
    problems += std::string(kConfigurationFiles[i]) + ": " + key + " is not an absolute path: \"" + found->second + "\"\n";
  }
  return {};
}

InstalledLayout ReadInstalledLayout() {
  InstalledLayout layout;
  std::error_code error;
  layout.installed = std::filesystem::exists(std::filesystem::path(ExecutableDirectory()) / kInstalledMarker, error);
  if (!layout.installed) return layout;
  const std::map<std::string, std::string> files[2] = {ReadAssignmentFile(kConfigurationFiles[0], layout.problems),
                                                       ReadAssignmentFile(kConfigurationFiles[1], layout.problems)};
  layout.appDirectory = Configured(files, "VANTREL_APP_DIR", layout.problems);
  if (layout.appDirectory.empty()) layout.appDirectory = kServiceDirectory;
  layout.portDirectory = Configured(files, "VANTREL_PORT_DIR", layout.problems);
  return layout;
}

const InstalledLayout& Installed() {
  static const InstalledLayout layout = ReadInstalledLayout();
  return layout;
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  const passwd* user = ::getpwuid(::getuid());
  return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
}

// $XDG_DATA_HOME/vantrel; a relative XDG_DATA_HOME is invalid and ignored, as the XDG
// rules say.
std::string UserDataDirectory() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/')
    return std::string(data) + "/vantrel";
  const std::string home = HomeDirectory();
  return home.empty() ? "" : home + "/.local/share/vantrel";
}

// Made with every missing parent, each for its owner only (the XDG rules ask that of the
// data folders).
bool MakePrivateDirectory(const std::filesystem::path& directory, std::string& problem) {
  std::error_code error;
  if (std::filesystem::is_directory(directory, error)) return true;
  if (directory.has_parent_path() && directory.parent_path() != directory &&
      !MakePrivateDirectory(directory.parent_path(), problem))
    return false;
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = "cannot make the folder " + directory.string() + ": " + std::generic_category().message(errno);
    return false;
  }
  return true;
}

}  // namespace

std::string ExecutableDirectory() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : exe.parent_path().string();
}

bool InstalledByPackage() { return Installed().installed; }

std::string ApplicationDirectory() {
  return EnvOr("VANTREL_APP_DIR", Installed().installed ? Installed().appDirectory : ExecutableDirectory());
}

std::string AppFilePath(const std::string& name) {
  return (std::filesystem::path(ApplicationDirectory()) / name).string();
}

std::string PortDirectory() {
  const bool serviceFolder = EnvOr("VANTREL_APP_DIR", "").empty() && Installed().installed;
  const std::string configured = serviceFolder ? Installed().portDirectory : "";
  return EnvOr("VANTREL_PORT_DIR", configured.empty() ? AppFilePath("ports") : configured);
}

bool SettleApplicationDirectory(AppRole role, const std::string& chosen, std::string& problem) {
  std::string directory = chosen;
  if (directory.empty() && EnvOr("VANTREL_APP_DIR", "").empty() && Installed().installed) {
    if (role == AppRole::Desktop) {
      directory = UserDataDirectory();
      if (directory.empty()) {
        problem = "cannot tell the folder for this user's data: neither HOME nor XDG_DATA_HOME is set";
        return false;
      }
      if (!MakePrivateDirectory(directory, problem)) return false;
    } else if (!Installed().problems.empty()) {
      problem = "the configuration cannot be used:\n" + Installed().problems;
      problem.pop_back();
      return false;
    }
  }
  if (directory.empty()) return true;
  std::error_code error;
  // Absolute: a background process leaves the working directory.
  const std::filesystem::path absolute = std::filesystem::absolute(directory, error).lexically_normal();
  ::setenv("VANTREL_APP_DIR", error ? directory.c_str() : absolute.c_str(), 1);
  return true;
}

unsigned DataFileMode(const std::string& directory) {
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0 || (info.st_mode & (S_IRGRP | S_IXGRP)) != (S_IRGRP | S_IXGRP))
    return 0600;
  // A folder its group may write in is shared by the group's members, who manage the
  // service with the command line: they write Info.db too.
  return (info.st_mode & S_IWGRP) != 0 ? 0660 : 0640;
}
