#include <gtest/gtest.h>

#include "TempDir.h"
#include "platform/CManualResetEvent.h"
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
