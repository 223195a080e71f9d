#include "platform/AutostartEntry.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/ReplaceFile.h"

namespace {

constexpr const char* kEntryName = "Vantrel.desktop";

// One argument of an Exec key: quoted, with the characters the quoting reserves escaped,
// then escaped again as the key's string value (so a backslash is written four times),
// and '%' doubled because it starts a field code.
std::string ExecArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (const char c : argument) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\\') {
      quoted += "\\\\\\\\";
    } else if (c == '%') {
      quoted += "%%";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  const passwd* user = ::getpwuid(::getuid());
  return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
}

}  // namespace

std::string AutostartEntryPath() {
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
    return std::string(config) + "/autostart/" + kEntryName;
  const std::string home = HomeDirectory();
  return home.empty() ? "" : home + "/.config/autostart/" + kEntryName;
}

int WriteAutostartEntry(const std::string& program) { return WriteAutostartEntry(std::vector{program}, ""); }

int WriteAutostartEntry(const std::vector<std::string>& command, const std::string& workingDirectory) {
  const std::string path = AutostartEntryPath();
  if (path.empty()) return ENOENT;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  if (error) return error.value();
  // Line breaks would end a key early and start keys of their own.
  std::string exec;
  for (const std::string& argument : command) {
    if (argument.find_first_of("\r\n") != std::string::npos) return EINVAL;
    exec += (exec.empty() ? "" : " ") + ExecArgument(argument);
  }
  if (workingDirectory.find_first_of("\r\n") != std::string::npos) return EINVAL;
  return ReplaceFile(path,
                     "[Desktop Entry]\n"
                     "Type=Application\n"
                     "Name=Vantrel\n"
                     "Exec=" + exec + "\n" +
                     (workingDirectory.empty() ? "" : "Path=" + workingDirectory + "\n") +
                     "Terminal=false\n"
                     "X-GNOME-Autostart-enabled=true\n");
}

int RemoveAutostartEntry() {
  const std::string path = AutostartEntryPath();
  if (path.empty()) return 0;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
  return 0;
}
