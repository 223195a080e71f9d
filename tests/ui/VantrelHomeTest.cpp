#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "AppProcess.h"
#include "TempDir.h"
#include "platform/AppPaths.h"

namespace {

namespace fs = std::filesystem;

// The desktop program as the package installs it: a copy beside the package's marker, in a
// temporary tree that also holds its user's home.
class InstalledVantrel {
 public:
  InstalledVantrel() {
    const fs::path programs = fs::path(m_root.Path()) / "usr/libexec/vantrel";
    fs::create_directories(programs);
    fs::copy_file(VANTREL_PROGRAM, programs / "vantrel");
    std::ofstream(programs / kInstalledMarker) << "# installed\n";
    m_program = (programs / "vantrel").string();
  }

  std::string Home() const { return m_root.File("home"); }

  // Started as its user would start it: no application directory named, a home of its own.
  AppProcess Process(std::vector<std::pair<std::string, std::string>> environment) const {
    environment.insert(environment.end(),
                       {{"VANTREL_APP_DIR", ""}, {"HOME", Home()}, {"QT_QPA_PLATFORM", "offscreen"}});
    return AppProcess(m_program, m_root.Path(), std::move(environment));
  }

 private:
  TempDir m_root;
  std::string m_program;
};

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<unsigned>(info.st_mode & 07777) : 0;
}

struct HomeCase {
  std::string what;
  std::string xdgDataHome;  // relative to the home; "relative" for an invalid one
  std::string folder;       // the expected one, relative to the home
};

}  // namespace

TEST(VantrelHome, TheInstalledProgramKeepsItsDataInAFolderOfItsUserMadeForItsOwnerOnly) {
  const HomeCase cases[] = {
      {"no XDG_DATA_HOME", "", ".local/share/vantrel"},
      {"an absolute XDG_DATA_HOME", "data", "data/vantrel"},
      {"a relative XDG_DATA_HOME is ignored", "relative", ".local/share/vantrel"},
  };
  for (const HomeCase& c : cases) {
    InstalledVantrel installed;
    const std::string xdg = c.xdgDataHome == "relative" ? "data"
                            : c.xdgDataHome.empty()      ? ""
                                                         : installed.Home() + "/" + c.xdgDataHome;
    AppProcess vantrel = installed.Process({{"XDG_DATA_HOME", xdg}});
    vantrel.Start();
    const std::string folder = installed.Home() + "/" + c.folder;
    EXPECT_TRUE(WaitFor([&] { return fs::exists(folder + "/Info.db"); })) << c.what << "\n" << vantrel.Errors();
    EXPECT_EQ(ModeOf(folder), 0700u) << c.what;
    EXPECT_EQ(ModeOf(folder + "/Info.db"), 0600u) << c.what;
    vantrel.Signal(SIGTERM);
    EXPECT_EQ(vantrel.WaitForExit(), 0) << c.what << "\n" << vantrel.Errors();
  }
}

TEST(VantrelHome, SigtermEndsTheProgramWhileTheBoxOfAFailedStartIsOpen) {
  InstalledVantrel installed;
  // A database that cannot be opened: the program says so in a box and waits for it.
  const std::string folder = installed.Home() + "/.local/share/vantrel";
  fs::create_directories(folder + "/Info.db");
  AppProcess vantrel = installed.Process({});
  vantrel.Start();
  ASSERT_TRUE(WaitFor([&] { return vantrel.Errors().find("cannot open the database") != std::string::npos; }))
      << vantrel.Errors();
  vantrel.Signal(SIGTERM);
  EXPECT_EQ(vantrel.WaitForExit(), 1) << vantrel.Errors();
}
