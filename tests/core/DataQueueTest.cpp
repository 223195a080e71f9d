#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "WaitFor.h"
#include "core/CDataQueue.h"
#include "platform/CStoppableThread.h"

using Sockora::Win32::CEvent;
using Sockora::Win32::CStoppableThread;

namespace {

DataItem Record(const std::string& id, const std::string& data) {
  DataItem item;
  SetDeviceId(item, id);
  item.Kind = DATA_USER;
  item.Length = static_cast<std::int32_t>(data.size());
  data.copy(reinterpret_cast<char*>(item.Data), data.size());
  return item;
}

std::string DataOf(const DataItem& item) {
  return std::string(reinterpret_cast<const char*>(item.Data), static_cast<std::size_t>(item.Length));
}

// A consumer as the traffic threads are: takes records until its stop is set on an
// empty queue.
struct Consumer {
  explicit Consumer(CDataQueue<DataItem>& queue, std::atomic<int>& taken)
      : thread(CStoppableThread::Launch([&queue, &taken](CEvent& stop) {
          auto item = std::make_unique<DataItem>();
          while (queue.WaitForRecord(stop))
            if (queue.Pop(*item)) ++taken;
        })) {}
  std::unique_ptr<CStoppableThread> thread;
};

}  // namespace

// Records keep their order and their own bytes, pushed one by one or several at once: a
// short record that follows a long one in a reused block carries none of the long one's
// bytes in its length.
TEST(DataQueue, RecordsComeOutInOrderWithTheirOwnBytes) {
  CDataQueue<DataItem> queue;
  const std::vector<std::string> payloads = {std::string(DATA_ITEM_PAYLOAD, 'L'), "short", "", "xy"};
  for (int round = 0; round < 3; ++round) {
    if (round == 1) {
      std::vector<CDataQueue<DataItem>::Block> blocks;
      for (const std::string& payload : payloads) blocks.push_back(queue.CopyOf(Record("00000001", payload)));
      queue.PushBlocks(blocks);
      EXPECT_TRUE(blocks.empty());
    } else {
      for (const std::string& payload : payloads) queue.Push(Record("00000001", payload));
    }
    EXPECT_EQ(queue.Count(), payloads.size());
    auto out = std::make_unique<DataItem>();
    for (const std::string& payload : payloads) {
      ASSERT_TRUE(queue.Pop(*out));
      EXPECT_EQ(DeviceIdOf(*out), "00000001");
      EXPECT_EQ(DataOf(*out), payload);
    }
    EXPECT_FALSE(queue.Pop(*out));
  }
}

// Two consumers wait on one queue at once (a replaced server's sending thread ends while
// the new one already waits): every record is taken, and each ends on its own stop.
TEST(DataQueue, ConsumersWaitingTogetherEachSeeTheirStopAndEveryRecord) {
  CDataQueue<DataItem> queue;
  std::atomic<int> taken{0};
  Consumer first(queue, taken);
  Consumer second(queue, taken);
  for (int i = 0; i < 200; ++i) {
    std::string text = "r";  // not "r" + ...: GCC 12 warns wrongly (-Wrestrict) on that
    text += std::to_string(i);
    queue.Push(Record("00000001", text));
    if (i % 20 == 0) {
      ASSERT_TRUE(WaitFor([&] { return taken.load() == i + 1; }));
    }
  }
  ASSERT_TRUE(WaitFor([&] { return taken.load() == 200; }));
  first.thread->Stop();
  EXPECT_TRUE(first.thread->Wait(20000));
  queue.Push(Record("00000001", "late"));
  EXPECT_TRUE(WaitFor([&] { return taken.load() == 201; }));
  second.thread->Stop();
  EXPECT_TRUE(second.thread->Wait(20000));
}
