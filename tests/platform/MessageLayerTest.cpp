#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "RecordingTarget.h"
#include "platform/CManualResetEvent.h"
#include "platform/CMessageQueue.h"
#include "platform/CMessageTarget.h"

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
