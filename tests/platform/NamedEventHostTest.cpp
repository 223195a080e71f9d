#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "TempDir.h"
#include "platform/CManualResetEvent.h"
#include "platform/CMessageQueue.h"
#include "platform/CMessageTarget.h"
#include "platform/CNamedEventHost.h"

using Sockora::Win32::CManualResetEvent;

TEST(NamedEventHost, SignalsReachOnlyTheInstanceOfTheirDirectory) {
  const TempDir tempA, tempB;
  const std::string& dirA = tempA.Path();
  const std::string& dirB = tempB.Path();
  CManualResetEvent shutdownA, shutdownB;
  CNamedEventHost hostA(dirA), hostB(dirB);
  std::string error;
  ASSERT_TRUE(hostA.Listen(error)) << error;
  ASSERT_TRUE(hostB.Listen(error)) << error;
  hostA.Add("SockoraServerShutdown", shutdownA);
  hostB.Add("SockoraServerShutdown", shutdownB);

  EXPECT_EQ(CNamedEventHost::Signal(dirA, "SockoraServerShutdown", error), 0) << error;
  EXPECT_TRUE(shutdownA.Wait(0));
  EXPECT_FALSE(shutdownB.Wait(0));
  EXPECT_EQ(CNamedEventHost::Signal(dirA, "NoSuchEvent", error), 2);
}

TEST(NamedEventHost, OneInstancePerDirectoryAndNoneMeansNoSignal) {
  const TempDir temp;
  const std::string& dir = temp.Path();
  std::string error;
  EXPECT_EQ(CNamedEventHost::Signal(dir, "SockoraServerShutdown", error), 1);
  EXPECT_NE(error.find("no Vantrel instance"), std::string::npos);
  {
    CNamedEventHost first(dir);
    ASSERT_TRUE(first.Listen(error)) << error;
    CNamedEventHost second(dir);
    EXPECT_FALSE(second.Listen(error));
    EXPECT_NE(error.find("another instance"), std::string::npos);
  }
  CNamedEventHost again(dir);
  EXPECT_TRUE(again.Listen(error)) << "the directory is free once the first instance is gone";
}

namespace {

// What an instance that died without cleaning up leaves: the folder and a socket file
// that nobody listens on.
void LeaveDeadSocket(const std::string& folder) {
  std::filesystem::create_directory(folder);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = folder + "/socket";
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int dead = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(dead, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  close(dead);
}

}  // namespace

TEST(NamedEventHost, TheSocketLivesInAPrivateFolderThatADeadInstanceDoesNotBlock) {
  const TempDir temp;
  const std::string folder = temp.File(".vantrel-events");
  LeaveDeadSocket(folder);
  // Left open to others, as a careless hand might: made private again.
  std::filesystem::permissions(folder, std::filesystem::perms::all);
  std::string error;
  EXPECT_EQ(CNamedEventHost::Signal(temp.Path(), "SockoraServerShutdown", error), 1);
  EXPECT_NE(error.find("no Vantrel instance"), std::string::npos) << error;
  {
    CManualResetEvent shutdown;
    CNamedEventHost host(temp.Path());
    ASSERT_TRUE(host.Listen(error)) << error;
    host.Add("SockoraServerShutdown", shutdown);
    struct stat status {};
    ASSERT_EQ(stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(CNamedEventHost::Signal(temp.Path(), "SockoraServerShutdown", error), 0) << error;
    EXPECT_TRUE(shutdown.Wait(0));
  }
  EXPECT_FALSE(std::filesystem::exists(folder + "/socket")) << "the instance removes its socket";
}

TEST(NamedEventHost, ADirectoryBeyondTheSocketPathLengthWorks) {
  const TempDir temp;
  const std::string deep = temp.Path() + "/" + std::string(100, 'd') + "/" + std::string(100, 'e');
  std::filesystem::create_directories(deep);
  CManualResetEvent shutdown;
  CNamedEventHost host(deep);
  std::string error;
  ASSERT_TRUE(host.Listen(error)) << error;
  host.Add("SockoraServerShutdown", shutdown);
  EXPECT_EQ(CNamedEventHost::Signal(deep, "SockoraServerShutdown", error), 0) << error;
  EXPECT_TRUE(shutdown.Wait(0));
}

TEST(NamedEventHost, AFolderThatIsNotThisUsersOwnIsRefusedWithTheReason) {
  const TempDir temp;
  const std::string folder = temp.File(".vantrel-events");
  std::filesystem::create_directory_symlink(temp.Path(), folder);
  CNamedEventHost linked(temp.Path());
  std::string error;
  EXPECT_FALSE(linked.Listen(error));
  EXPECT_NE(error.find("cannot open the signal folder " + folder), std::string::npos) << error;
  std::filesystem::remove(folder);

  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to give the folder to \"nobody\"";
  std::filesystem::create_directory(folder);
  ASSERT_EQ(chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  CNamedEventHost host(temp.Path());
  EXPECT_FALSE(host.Listen(error));
  EXPECT_NE(error.find("the signal folder " + folder + " belongs to user " + std::to_string(nobody->pw_uid)),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("other users may write in " + temp.Path()), std::string::npos) << error;
}

TEST(NamedEventHost, RequestsGetTheirHandlersReplyAndUnknownOnesSaySo) {
  const TempDir temp;
  CNamedEventHost host(temp.Path());
  std::string error;
  ASSERT_TRUE(host.Listen(error)) << error;
  host.AddRequest("echo", [](const std::string& argument) {
    return CNamedEventHost::Reply{7, "got [" + argument + "]\n" + std::string(100000, 'x')};
  });
  CNamedEventHost::Reply reply;
  ASSERT_EQ(CNamedEventHost::Request(temp.Path(), "echo", std::string("a\0b", 3), reply, error), 0) << error;
  EXPECT_EQ(reply.ExitCode, 7);
  EXPECT_EQ(reply.Text, "got [" + std::string("a\0b", 3) + "]\n" + std::string(100000, 'x'))
      << "the argument and a long reply arrive whole";
  ASSERT_EQ(CNamedEventHost::Request(temp.Path(), "echo", "", reply, error), 0) << error;
  EXPECT_EQ(reply.Text.substr(0, 7), "got []\n");

  EXPECT_EQ(CNamedEventHost::Request(temp.Path(), "nothing", "", reply, error), 2);
  EXPECT_NE(error.find("does not know the request nothing"), std::string::npos) << error;
  EXPECT_EQ(CNamedEventHost::Signal(temp.Path(), "echo", error), 2) << "a request is not an event";
  EXPECT_EQ(CNamedEventHost::Request(temp.Path(), "echo", std::string(CNamedEventHost::kMaxArgumentBytes + 1, 'a'),
                                     reply, error),
            2);
  host.Remove("echo");
  EXPECT_EQ(CNamedEventHost::Request(temp.Path(), "echo", "", reply, error), 2);

  const TempDir empty;
  EXPECT_EQ(CNamedEventHost::Request(empty.Path(), "echo", "", reply, error), 3);
  EXPECT_NE(error.find("no Vantrel instance"), std::string::npos) << error;
}

// The handler of a service waits for the thread that owns the service's state, and that
// thread may be the one removing the handler or destroying the host.
TEST(NamedEventHost, AHandlerWaitingForTheOwnerThreadDoesNotDeadlockItsRemovalOrTheHostsEnd) {
  const TempDir temp;
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  CMessageTarget owner([](unsigned, WPARAM, LPARAM) -> LRESULT { return 42; });
  CManualResetEvent called;
  const auto ask = [&called, handle = owner.Handle()](const std::string&) {
    called.Set();
    return CNamedEventHost::Reply{0, std::to_string(CMessageTarget::Send(handle, WM_USER, 0, 0))};
  };
  for (const bool removed : {true, false}) {
    SCOPED_TRACE(removed ? "removed" : "destroyed");
    called.Reset();
    auto host = std::make_unique<CNamedEventHost>(temp.Path());
    std::string error;
    ASSERT_TRUE(host->Listen(error)) << error;
    host->AddRequest("ask", ask);
    CNamedEventHost::Reply reply;
    int result = -1;
    std::thread client([&] { result = CNamedEventHost::Request(temp.Path(), "ask", "", reply, error); });
    EXPECT_TRUE(called.Wait(10000));
    if (removed) host->Remove("ask");
    host.reset();
    client.join();
    EXPECT_EQ(result, 0) << error;
    EXPECT_EQ(reply.Text, "42");
  }
}
