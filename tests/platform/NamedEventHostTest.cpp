#include <gtest/gtest.h>

#include <filesystem>

#include "platform/CManualResetEvent.h"
#include "platform/CNamedEventHost.h"

using Sockora::Win32::CManualResetEvent;

namespace {

std::string TempDirectory(const char* leaf) {
  const auto path = std::filesystem::temp_directory_path() / (std::string(leaf) + std::to_string(getpid()));
  std::filesystem::create_directories(path);
  return path.string();
}

}  // namespace

TEST(NamedEventHost, SignalsReachOnlyTheInstanceOfTheirDirectory) {
  const std::string dirA = TempDirectory("vantrel-events-a");
  const std::string dirB = TempDirectory("vantrel-events-b");
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
  const std::string dir = TempDirectory("vantrel-events-c");
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
