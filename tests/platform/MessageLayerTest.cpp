#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "RecordingTarget.h"
#include "WaitFor.h"
#include "platform/CManualResetEvent.h"
#include "platform/CMessageQueue.h"
#include "platform/CMessageTarget.h"
#include "platform/CStoppableThread.h"

using Sockora::Win32::CManualResetEvent;
using Sockora::Win32::INFINITE;

namespace {

constexpr unsigned kPing = WM_USER + 1;

CMessageTarget::Handler Doubler() {
  return [](unsigned message, WPARAM wParam, LPARAM) -> LRESULT {
    return message == kPing ? static_cast<LRESULT>(wParam * 2) : 0;
  };
}

}  // namespace

TEST(MessageLayer, SendOnTheOwnerThreadCallsTheHandlerDirectly) {
  CMessageTarget target(Doubler());
  EXPECT_EQ(CMessageTarget::Send(target.Handle(), kPing, 21, 0), 42);
}

TEST(MessageLayer, CrossThreadSendIsAnsweredWhileTheOwnerWaitsForSomethingElse) {
  CMessageTarget target(Doubler());
  CManualResetEvent senderDone;
  std::atomic<LRESULT> answer{0};
  std::thread sender([&] {
    answer = CMessageTarget::Send(target.Handle(), kPing, 5, 0);
    senderDone.Set();
  });
  // A plain wait here would deadlock: the sender waits for this thread to handle its send.
  EXPECT_TRUE(CMessageQueue::ForThisThread()->WaitHandlingMessages(senderDone, 20000));
  EXPECT_EQ(answer, 10);
  sender.join();
}

TEST(MessageLayer, TwoThreadsSendingToEachOtherBothGetAnswers) {
  auto bHandle = std::make_shared<std::promise<TargetHandle>>();
  auto bReady = bHandle->get_future();
  CMessageTarget a(Doubler());
  std::atomic<LRESULT> bAnswer{0};
  std::thread b([&] {
    CMessageTarget bTarget(Doubler());
    bHandle->set_value(bTarget.Handle());
    bAnswer = CMessageTarget::Send(a.Handle(), kPing, 3, 0);
    // Stay alive (handling sends) until a has had its answer.
    CManualResetEvent never;
    CMessageQueue::ForThisThread()->WaitHandlingMessages(never, 200);
  });
  const TargetHandle bTargetHandle = bReady.get();
  EXPECT_EQ(CMessageTarget::Send(bTargetHandle, kPing, 4, 0), 8);
  CManualResetEvent never;
  CMessageQueue::ForThisThread()->WaitHandlingMessages(never, 200);
  b.join();
  EXPECT_EQ(bAnswer, 6);
}

TEST(MessageLayer, AGoneTargetAnswersZeroAtOnce) {
  TargetHandle handle = 0;
  {
    CMessageTarget target(Doubler());
    handle = target.Handle();
  }
  EXPECT_EQ(CMessageTarget::Send(handle, kPing, 1, 0), 0);
  EXPECT_FALSE(CMessageTarget::Post(handle, kPing, 1, 0));
  EXPECT_EQ(CMessageTarget::Send(0, kPing, 1, 0), 0);
}

TEST(MessageLayer, ASendQueuedToATargetThatGoesAwayIsReleasedWithZero) {
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  CManualResetEvent arrived;
  queue->SetWakeHook([&] { arrived.Set(); });
  auto target = std::make_unique<CMessageTarget>(Doubler());
  std::promise<LRESULT> answer;
  std::thread sender([&, handle = target->Handle()] {
    answer.set_value(CMessageTarget::Send(handle, kPing, 1, 0));
  });
  ASSERT_TRUE(arrived.Wait(20000)) << "the send reaches this thread's queue";
  target.reset();
  EXPECT_EQ(answer.get_future().get(), 0);
  sender.join();
  queue->SetWakeHook(nullptr);
}

TEST(MessageLayer, SendToAThreadThatEndedAnswersZero) {
  TargetHandle handle = 0;
  std::unique_ptr<CMessageTarget> leaked;
  std::thread owner([&] {
    leaked = std::make_unique<CMessageTarget>(Doubler());
    handle = leaked->Handle();
  });
  owner.join();
  EXPECT_EQ(CMessageTarget::Send(handle, kPing, 1, 0), 0);
  EXPECT_FALSE(CMessageTarget::Post(handle, kPing, 1, 0));
  // Destroying a target after its thread ended is harmless.
  leaked.reset();
}

TEST(MessageLayer, PostedMessagesAreHandledInOrderByTheLoop) {
  RecordingTarget<WPARAM> loop([](unsigned, WPARAM wParam, LPARAM) { return wParam; });
  for (WPARAM i = 0; i < 50; ++i) EXPECT_TRUE(CMessageTarget::Post(loop.Handle(), kPing, i, 0));
  EXPECT_EQ(CMessageTarget::Send(loop.Handle(), kPing, 50, 0), 1);
  const auto messages = loop.Messages();
  ASSERT_EQ(messages.size(), 51u);
  for (WPARAM i = 0; i <= 50; ++i) EXPECT_EQ(messages[i].copy, i);
}

// The loop lets reports gather before it handles them; a posted message ends the pause,
// and everything is still handled in the order it came.
TEST(MessageLayer, GatheredReportsKeepTheirPlaceBeforeAPostedMessage) {
  RecordingTarget<WPARAM> loop([](unsigned, WPARAM wParam, LPARAM) { return wParam; });
  constexpr WPARAM kReports = 200;
  for (WPARAM i = 0; i < kReports; ++i) {
    auto owned = std::make_shared<WPARAM>(i);
    ASSERT_TRUE(CMessageTarget::PostReport(loop.Handle(), kPing, i, 0, owned));
  }
  ASSERT_TRUE(CMessageTarget::Post(loop.Handle(), kPing, kReports, 0));
  ASSERT_TRUE(WaitFor([&] { return loop.Messages().size() == kReports + 1; }));
  const auto messages = loop.Messages();
  for (WPARAM i = 0; i <= kReports; ++i) EXPECT_EQ(messages[i].copy, i);
}

namespace {

// What a report owns; counts the ones alive.
struct Counted {
  explicit Counted(std::atomic<int>& alive, WPARAM value) : alive(alive), value(value) { ++alive; }
  ~Counted() { --alive; }
  std::atomic<int>& alive;
  const WPARAM value;
};

}  // namespace

// A reporter runs ahead of the owner by the backlog at most; the owner waiting for the
// reporter to end handles its reports meanwhile, in order, each with what it owns.
TEST(MessageLayer, ReportsAreBoundedAndHandledWhileTheOwnerWaitsForTheReporter) {
  constexpr std::size_t kTotal = CMessageTarget::kReportBacklog * 2 + 10;
  std::atomic<int> alive{0};
  std::vector<WPARAM> handled;
  CMessageTarget owner([&](unsigned, WPARAM wParam, LPARAM lParam) -> LRESULT {
    EXPECT_EQ(reinterpret_cast<const Counted*>(lParam)->value, wParam);
    handled.push_back(wParam);
    return 0;
  });
  std::atomic<std::size_t> posted{0};
  auto reporter = Sockora::Win32::CStoppableThread::Launch([&](Sockora::Win32::CEvent&) {
    for (WPARAM i = 0; i < kTotal; ++i) {
      auto report = std::make_shared<Counted>(alive, i);
      EXPECT_TRUE(CMessageTarget::PostReport(owner.Handle(), kPing, i, reinterpret_cast<LPARAM>(report.get()), report));
      ++posted;
    }
  });
  // The backlog queued, and the next report made and waiting to be posted.
  ASSERT_TRUE(WaitFor([&] {
    return posted.load() == CMessageTarget::kReportBacklog &&
           alive.load() == static_cast<int>(CMessageTarget::kReportBacklog) + 1;
  }));
  EXPECT_EQ(posted.load(), CMessageTarget::kReportBacklog) << "the reporter waits for the owner";

  CMessageQueue::WaitForEnd(*reporter);
  CMessageQueue::ForThisThread()->ProcessAll();
  ASSERT_EQ(handled.size(), kTotal);
  for (WPARAM i = 0; i < kTotal; ++i) ASSERT_EQ(handled[i], i);
  EXPECT_EQ(alive.load(), 0);
}

// Reports dropped with their target free what they own and let a waiting reporter go.
TEST(MessageLayer, ATargetGoneWithReportsQueuedFreesThemAndReleasesTheReporter) {
  std::atomic<int> alive{0};
  auto owner = std::make_unique<CMessageTarget>([](unsigned, WPARAM, LPARAM) -> LRESULT { return 0; });
  const TargetHandle handle = owner->Handle();
  std::atomic<std::size_t> accepted{0};
  std::thread reporter([&] {
    for (WPARAM i = 0; i <= CMessageTarget::kReportBacklog; ++i) {
      auto report = std::make_shared<Counted>(alive, i);
      if (CMessageTarget::PostReport(handle, kPing, i, reinterpret_cast<LPARAM>(report.get()), report)) ++accepted;
    }
  });
  ASSERT_TRUE(WaitFor([&] { return accepted.load() == CMessageTarget::kReportBacklog; }));
  owner.reset();
  reporter.join();
  EXPECT_EQ(accepted.load(), CMessageTarget::kReportBacklog) << "the one that waited finds the target gone";
  EXPECT_EQ(alive.load(), 0);
}
