#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "FreePort.h"
#include "TempDir.h"
#include "VantreldProcess.h"
#include "WaitFor.h"

namespace {

const std::string kStarted = "启动服务成功";
const std::string kStopped = "停止服务成功";

}  // namespace

TEST(Vantreld, RunsUntilSigtermOrAShutdownSignalAndExitsZero) {
  TempDir dir;
  Vantreld vantreld(dir.Path().string());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0);

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  EXPECT_NE(vantreld.Output().find(kStopped), std::string::npos);

  Vantreld again(dir.Path().string());
  again.Start();
  ASSERT_TRUE(WaitFor([&] { return again.Output().find(kStarted) != std::string::npos; })) << again.Errors();
  EXPECT_EQ(Vantreld(dir.Path().string()).Run("--signal SockoraServerShutdown"), 0);
  EXPECT_EQ(again.WaitForExit(), 0) << again.Errors();
}

TEST(Vantreld, AServiceThatCannotStartExitsNonZeroWithTheReason) {
  TempDir dir;
  const int other = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(other, 1), 0);
  socklen_t size = sizeof address;
  getsockname(other, reinterpret_cast<sockaddr*>(&address), &size);

  Vantreld vantreld(dir.Path().string());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(ntohs(address.sin_port))), 0);
  vantreld.Start();
  EXPECT_EQ(vantreld.WaitForExit(), 1);
  EXPECT_NE(vantreld.Errors().find("Address already in use"), std::string::npos) << vantreld.Errors();
  close(other);

  EXPECT_EQ(Vantreld(dir.Path().string()).Run("--signal SockoraServerShutdown"), 1) << "no instance runs there";
  EXPECT_EQ(Vantreld(dir.Path().string()).Run("--signal NoSuchEvent"), 2);
}
