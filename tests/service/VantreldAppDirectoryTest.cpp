#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "FreePort.h"
#include "TempDir.h"
#include "Vantreld.h"

namespace {

// The owner of a service's folder, a member of its group and a stranger, as the tests
// run them: the folder belongs to "daemon", whose primary group is its own.
struct Users {
  uid_t owner = 0;
  gid_t ownerGroup = 0;
  uid_t other = 0;   // "nobody": a member with the owner's group, a stranger with its own
  gid_t otherGroup = 0;
};

bool FindUsers(Users& users) {
  // Each look-up may reuse the last one's storage.
  const passwd* owner = getpwnam("daemon");
  if (owner == nullptr) return false;
  users.owner = owner->pw_uid;
  users.ownerGroup = owner->pw_gid;
  const passwd* other = getpwnam("nobody");
  if (other == nullptr) return false;
  users.other = other->pw_uid;
  users.otherGroup = other->pw_gid;
  return users.ownerGroup != users.otherGroup;
}

struct FileStatus {
  bool exists = false;
  uid_t uid = 0;
  unsigned mode = 0;
};

FileStatus StatusOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  return {true, info.st_uid, static_cast<unsigned>(info.st_mode & 07777)};
}

// A folder as the package makes the service's: its user's and its group's only, and what is
// made in it stays in the group.
void MakeServiceFolder(const TempDir& dir, const Users& users) {
  ASSERT_EQ(chown(dir.Path().c_str(), users.owner, users.ownerGroup), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 02770), 0);
}

}  // namespace

TEST(VantreldAppDirectory, TheOptionWinsOverTheEnvironmentAndMustNameAFolder) {
  TempDir fromEnvironment;
  TempDir chosen;
  Vantreld vantreld(fromEnvironment.Path());
  ASSERT_EQ(vantreld.Run("--app-dir " + chosen.Path() + " tunnel add 00000001 --port COM1"), 0) << vantreld.Errors();
  EXPECT_TRUE(std::filesystem::exists(chosen.File("Info.db")));
  EXPECT_FALSE(std::filesystem::exists(fromEnvironment.File("Info.db")));

  EXPECT_EQ(vantreld.Run("--app-dir " + chosen.File("missing") + " tunnel list"), 2);
  EXPECT_NE(vantreld.Errors().find("missing"), std::string::npos) << vantreld.Errors();
}

// Root configures, the service's user owns what is made, its group reads and manages,
// others are told which group to join.
TEST(VantreldAppDirectory, RootActsAsTheFolderOwnerTheGroupManagesAndOthersAreToldWhy) {
  Users users;
  if (geteuid() != 0 || !FindUsers(users)) GTEST_SKIP() << "needs root and the users daemon and nobody";
  TempDir dir;
  MakeServiceFolder(dir, users);

  Vantreld root(dir.Path());
  ASSERT_EQ(root.Run("tunnel add 0000000A --port COM3"), 0) << root.Errors();
  const FileStatus database = StatusOf(dir.File("Info.db"));
  ASSERT_TRUE(database.exists);
  EXPECT_EQ(database.uid, users.owner) << "made by the folder's owner, not by root";
  EXPECT_EQ(database.mode, 0660u);

  Vantreld member(dir.Path());
  member.RunAs(users.other, users.ownerGroup);
  EXPECT_EQ(member.Run("tunnel list"), 0) << member.Errors();
  EXPECT_NE(member.Output().find("0000000A"), std::string::npos) << member.Output();
  ASSERT_EQ(member.Run("tunnel add 0000000B --port COM4"), 0) << member.Errors();
  EXPECT_EQ(root.Run("tunnel list"), 0) << root.Errors();
  EXPECT_NE(root.Output().find("0000000B"), std::string::npos) << root.Output();

  Vantreld stranger(dir.Path());
  stranger.RunAs(users.other, users.otherGroup);
  EXPECT_EQ(stranger.Run("tunnel list"), 1);
  const std::string group = getgrgid(users.ownerGroup)->gr_name;
  EXPECT_NE(stranger.Errors().find("permission denied: the folder " + dir.Path() + " belongs to user daemon and group " +
                                   group + " (mode 2770); join the group " + group),
            std::string::npos)
      << stranger.Errors();
}

TEST(VantreldAppDirectory, TheServiceStartedByRootRunsAsTheOwnerAndItsFilesStayInTheGroup) {
  Users users;
  if (geteuid() != 0 || !FindUsers(users)) GTEST_SKIP() << "needs root and the users daemon and nobody";
  TempDir dir;
  MakeServiceFolder(dir, users);
  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0) << vantreld.Errors();

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  for (const char* name : {"Info.db", "Info.db-wal", "Info.db-shm", "Sockora.log"}) {
    ASSERT_TRUE(WaitFor([&] { return StatusOf(dir.File(name)).exists; })) << name;
    const FileStatus file = StatusOf(dir.File(name));
    EXPECT_EQ(file.uid, users.owner) << name;
    EXPECT_EQ(file.mode, 0660u) << name;
  }
  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerShutdown"), 0) << vantreld.Errors();
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
}
