#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "TempDir.h"
#include "platform/AutostartEntry.h"

namespace {

// XDG_CONFIG_HOME and HOME as a test sets them, restored afterwards.
class SavedVariable {
 public:
  explicit SavedVariable(const char* name) : m_name(name) {
    if (const char* value = std::getenv(name)) m_value = value;
    m_set = std::getenv(name) != nullptr;
  }
  ~SavedVariable() {
    if (m_set) {
      ::setenv(m_name, m_value.c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }

 private:
  const char* m_name;
  std::string m_value;
  bool m_set = false;
};

}  // namespace

TEST(AutostartEntry, LivesInTheXdgConfigDirectoryElseTheHomeOne) {
  SavedVariable config("XDG_CONFIG_HOME");
  SavedVariable home("HOME");
  ::setenv("HOME", "/home/someone", 1);
  ::setenv("XDG_CONFIG_HOME", "/etc/someone", 1);
  EXPECT_EQ("/etc/someone/autostart/Vantrel.desktop", AutostartEntryPath());
  // A relative one is invalid and ignored.
  ::setenv("XDG_CONFIG_HOME", "config", 1);
  EXPECT_EQ("/home/someone/.config/autostart/Vantrel.desktop", AutostartEntryPath());
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ("/home/someone/.config/autostart/Vantrel.desktop", AutostartEntryPath());
}

TEST(AutostartEntry, ExecQuotesThePathSoThatTheSessionRunsExactlyIt) {
  SavedVariable config("XDG_CONFIG_HOME");
  TempDir directory("XDG_CONFIG_HOME");
  struct Case {
    std::string program;
    std::string exec;
  };
  const Case cases[] = {
      {"/usr/bin/vantrel", "Exec=\"/usr/bin/vantrel\"\n"},
      {"/opt/my apps/vantrel", "Exec=\"/opt/my apps/vantrel\"\n"},
      // Quoting escapes " ` $ and \ ; the string value escapes the backslash again; % starts a field code.
      {"/o\"p`t$/50%\\x", "Exec=\"/o\\\"p\\`t\\$/50%%\\\\\\\\x\"\n"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(0, WriteAutostartEntry(c.program)) << c.program;
    const std::string entry = directory.Read("autostart/Vantrel.desktop");
    EXPECT_EQ(0u, entry.find("[Desktop Entry]\n")) << entry;
    EXPECT_NE(std::string::npos, entry.find("\n" + c.exec)) << entry;
  }
  EXPECT_EQ(EINVAL, WriteAutostartEntry("/a\nType=Link"));
  EXPECT_EQ(0, RemoveAutostartEntry());
  EXPECT_FALSE(std::filesystem::exists(directory.File("autostart/Vantrel.desktop")));
  EXPECT_EQ(0, RemoveAutostartEntry());
}
