#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "WaitFor.h"
#include "platform/CAutoResetEvent.h"
#include "platform/CManualResetEvent.h"
#include "platform/CScopedLock.h"

using namespace Sockora::Win32;

TEST(Event, AutoResetIsConsumedByOneWaitManualStaysUntilReset) {
  CAutoResetEvent autoEvent;
  EXPECT_FALSE(autoEvent.Wait(0));
  autoEvent.Set();
  EXPECT_TRUE(autoEvent.Wait(0));
  EXPECT_FALSE(autoEvent.Wait(0));

  CManualResetEvent manual;
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));
}

TEST(Event, WaitAnyPrefersTheFirstListedAndTimesOut) {
  CAutoResetEvent first;
  CAutoResetEvent second;
  EXPECT_EQ(CEvent::WaitAny(first, second, 0), -1);
  first.Set();
  second.Set();
  EXPECT_EQ(CEvent::WaitAny(first, second, 0), 0);
  EXPECT_EQ(CEvent::WaitAny(first, second, 0), 1);
  EXPECT_EQ(CEvent::WaitAny(first, second, 10), -1);
}

TEST(Event, WaitAnyWakesWhenAnotherThreadSets) {
  CAutoResetEvent first;
  CManualResetEvent second;
  std::thread setter([&] { second.Set(); });
  EXPECT_EQ(CEvent::WaitAny(first, second, 20000), 1);
  setter.join();
  EXPECT_TRUE(second.Wait(0)) << "a manual-reset event stays set after the wait";
}

TEST(CriticalSection, OwnerReentersOthersWaitForEveryLeave) {
  CCriticalSection section;
  std::atomic<bool> otherEntered{false};
  section.Enter();
  section.Enter();
  std::thread other([&] {
    CScopedLock lock(section);
    otherEntered = true;
  });
  section.Leave();
  EXPECT_FALSE(WaitFor([&] { return otherEntered.load(); }, std::chrono::milliseconds(50)))
      << "entered twice, left once: still owned";
  section.Leave();
  EXPECT_TRUE(WaitFor([&] { return otherEntered.load(); }));
  other.join();
}
