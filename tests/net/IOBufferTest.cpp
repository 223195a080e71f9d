#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/CIOBuffer.h"
#include "platform/CException.h"

using namespace Sockora;
using Sockora::Win32::CException;

namespace {

class RecordingAllocator : public CIOBuffer::Allocator {
 public:
  RecordingAllocator(std::uint32_t size, std::uint32_t maxFree) : Allocator(size, maxFree) {}
  std::vector<std::string> events;

 protected:
  void OnBufferCreated() override { events.push_back("created"); }
  void OnBufferAllocated() override { events.push_back("allocated"); }
  void OnBufferReleased() override { events.push_back("released"); }
  void OnBufferDestroyed() override { events.push_back("destroyed"); }
};

std::string ThrownMessage(const std::function<void()>& action) {
  try {
    action();
  } catch (const CException& error) {
    return error.GetWhere() + " | " + error.GetMessage();
  }
  return "nothing thrown";
}

}  // namespace

TEST(IOBuffer, DataAreaAndWSABUFFollowTheOperations) {
  RecordingAllocator allocator(100, 0);
  CIOBuffer* buffer = allocator.Allocate();
  const std::string ten(10, 'a');

  struct Step {
    const char* what;
    std::function<void()> action;
    std::uint32_t used;
    std::uint32_t wsaOffset;  // WSABUF pointer relative to the data area
    std::uint32_t wsaLength;
  };
  const std::vector<Step> steps = {
      {"fresh buffer", [] {}, 0, 0, 100},
      {"AddData 10", [&] { buffer->AddData(ten.data(), 10); }, 10, 0, 100},
      {"SetupRead behind used bytes", [&] { buffer->SetupRead(); }, 10, 10, 90},
      {"receive of 5 appends", [&] { buffer->Use(5); }, 15, 10, 90},
      {"SetupWrite covers used, used 0", [&] { buffer->SetupWrite(); }, 0, 0, 15},
      {"after a send of 15, used is 15", [&] { buffer->Use(15); }, 15, 0, 15},
      {"SetupZeroByteRead", [&] { buffer->SetupZeroByteRead(); }, 15, 0, 0},
      {"Empty", [&] { buffer->Empty(); }, 0, 0, 100},
      {"AddData of exactly the free space", [&] { buffer->AddData(std::string(100, 'b').data(), 100); }, 100, 0, 100},
  };
  for (const Step& step : steps) {
    step.action();
    EXPECT_EQ(buffer->GetUsed(), step.used) << step.what;
    EXPECT_EQ(buffer->GetWSABUF().buf, buffer->GetBuffer() + step.wsaOffset) << step.what;
    EXPECT_EQ(buffer->GetWSABUF().len, step.wsaLength) << step.what;
  }

  EXPECT_EQ(ThrownMessage([&] { buffer->AddData("x", 1); }), "CIOBuffer::AddData | Not enough space in buffer");
  EXPECT_EQ(buffer->GetUsed(), 100u);

  // Handed out again from the free list: the same block, every field back to its start.
  buffer->SetOperation(4);
  buffer->SetSequenceNumber(7);
  buffer->Release();
  CIOBuffer* again = allocator.Allocate();
  EXPECT_EQ(again, buffer);
  EXPECT_EQ(again->GetUsed(), 0u);
  EXPECT_EQ(again->GetOperation(), 0u);
  EXPECT_EQ(again->GetSequenceNumber(), 0u);
  EXPECT_EQ(again->GetWSABUF().buf, again->GetBuffer());
  EXPECT_EQ(again->GetWSABUF().len, 100u);
  EXPECT_EQ(allocator.events, (std::vector<std::string>{"created", "allocated", "released", "allocated"}));

  again->Release();
  allocator.events.clear();
  EXPECT_EQ(ThrownMessage([&] { again->Release(); }), "CIOBuffer::Release() | m_ref is already 0");
  EXPECT_TRUE(allocator.events.empty());
}

TEST(IOBuffer, FreeListIsBoundedAndLastInFirstOut) {
  struct Case {
    std::uint32_t maxFree;
    std::vector<std::string> lastRelease;
  };
  const std::vector<Case> cases = {
      {100, {"released", "destroyed"}},
      {0, {"released"}},
  };
  for (const Case& c : cases) {
    RecordingAllocator allocator(16, c.maxFree);
    std::vector<CIOBuffer*> buffers;
    for (int i = 0; i < 101; ++i) buffers.push_back(allocator.Allocate());
    for (int i = 0; i < 100; ++i) buffers[i]->Release();
    allocator.events.clear();
    buffers[100]->Release();
    EXPECT_EQ(allocator.events, c.lastRelease) << "maximum " << c.maxFree;
    // Most recently released first.
    CIOBuffer* next = allocator.Allocate();
    EXPECT_EQ(next, c.maxFree == 0 ? buffers[100] : buffers[99]);
    next->Release();
  }
}
