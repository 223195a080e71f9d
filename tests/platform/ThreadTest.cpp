#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "WaitFor.h"
#include "platform/CStoppableThread.h"
#include "platform/CWin32Exception.h"
#include "platform/DebugSink.h"

using namespace Sockora::Win32;

namespace {

class GatedThread : public CThread {
 public:
  CManualResetEvent gate;
  bool throwFromRun = false;

 protected:
  int Run() override {
    gate.Wait(INFINITE);
    if (throwFromRun) throw std::runtime_error("out of Run");
    return 7;
  }
};

}  // namespace

TEST(Thread, WaitReportsTheEndAndStartRunsOnlyOnce) {
  GatedThread thread;
  thread.Start();
  EXPECT_FALSE(thread.Wait(0));
  thread.gate.Set();
  thread.Wait();
  EXPECT_TRUE(thread.Wait(0));
  try {
    thread.Start();
    FAIL() << "second Start must throw";
  } catch (const CException& error) {
    EXPECT_EQ(error.GetWhere(), "CThread::Start()");
    EXPECT_EQ(error.GetMessage(), "Thread already running - you can only call Start() once!");
  }
}

TEST(Thread, AnExceptionOutOfRunEndsOnlyThatThreadAndIsReported) {
  std::mutex mutex;
  std::string captured;
  SetDebugCapture([&](std::string_view text) {
    std::lock_guard lock(mutex);
    captured += text;
  });
  GatedThread thread;
  thread.throwFromRun = true;
  thread.Start();
  thread.gate.Set();
  EXPECT_TRUE(thread.Wait(20000));
  SetDebugCapture(nullptr);
  EXPECT_EQ(captured, "[ERROR]A thread ended by an exception: out of Run\n");
}

TEST(Thread, WaitOnANeverStartedThreadThrows) {
  GatedThread thread;
  EXPECT_THROW(thread.Wait(0), CWin32Exception);
}

TEST(Thread, StoppableThreadEndsWhenItsStopEventIsSet) {
  std::atomic<int> passes = 0;
  CStoppableThread thread([&](CEvent& stop) {
    while (!stop.Wait(1)) ++passes;
  });
  thread.Start();
  // The loop runs while the event is clear, so the stop below is what ends it.
  ASSERT_TRUE(WaitFor([&] { return passes > 0; }));
  thread.Stop();
  EXPECT_TRUE(thread.Wait(20000));
}

TEST(Win32Exception, CarriesTheCodeAndTheSystemText) {
  CWin32Exception known("CEvent::Set()", ECONNRESET);
  EXPECT_EQ(known.GetError(), static_cast<unsigned>(ECONNRESET));
  EXPECT_EQ(known.GetMessage(), "Connection reset by peer\r\n");
  // No text for the code: the text of the lookup's own failure, never an empty message.
  EXPECT_EQ(FormatErrorText(987654), FormatErrorText(EINVAL));
  EXPECT_FALSE(FormatErrorText(987654).empty());
}
