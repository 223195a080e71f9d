#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SerialFixture.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"
#include "platform/CPairRecord.h"
#include "serial/CSerial.h"

namespace {

// Stands in for the port manager: reads a chunk whenever the port has input.
class ChunkListener : public CSerial::Listener {
 public:
  void OnPortInput(CSerial& port) override {
    unsigned char buffer[CS_BUFF_LEN];
    const int length = port.ReadBlock(buffer);
    if (length <= 0) return;
    std::lock_guard lock(m_mutex);
    m_chunks.emplace_back(buffer, buffer + length);
  }
  void OnPortGone(CSerial&) override { ++m_gone; }

  std::vector<Bytes> Chunks() {
    std::lock_guard lock(m_mutex);
    return m_chunks;
  }
  std::size_t Received() {
    std::size_t total = 0;
    for (const Bytes& chunk : Chunks()) total += chunk.size();
    return total;
  }
  Bytes All() {
    Bytes all;
    for (const Bytes& chunk : Chunks()) all.insert(all.end(), chunk.begin(), chunk.end());
    return all;
  }
  int Gone() const { return m_gone; }

 private:
  std::mutex m_mutex;
  std::vector<Bytes> m_chunks;
  std::atomic<int> m_gone{0};
};

// True while the thread `tid` of this process sleeps in write(2): a write that waits for
// room. The kernel's own view, so it cannot be a write that has not begun yet.
bool SleepsInWrite(pid_t tid) {
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  long call = -1;
  if (!(std::ifstream(task + "/syscall") >> call) || call != SYS_write) return false;
  std::string stat;
  std::getline(std::ifstream(task + "/stat"), stat);
  // The state follows the name, which is in parentheses and may hold blanks.
  const std::size_t name = stat.rfind(')');
  return name != std::string::npos && name + 2 < stat.size() && stat[name + 2] == 'S';
}

constexpr int kPort = 5;

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pair.Create()) << pair.LastError();
    ASSERT_TRUE(pair.Link(dir.Path(), "COM5", ""));
    local.emplace(pair.PathB());
    ASSERT_TRUE(local->IsOpen());
  }

  bool OpenPort(unsigned idleWait) {
    port.SetIdleWait(idleWait);
    return port.Open(kPort, 9600, 8, 0, 0);
  }

  TempPortDir dir;
  CNullModemPair pair;
  std::optional<LocalEnd> local;
  ChunkListener listener;
  CSerial port{listener};
};

TEST_F(SerialPortTest, OpenIsRefusedOutsideTheRangeForAMissingDeviceAndWhenOpen) {
  for (int number : {0, 1025, 1000}) {
    EXPECT_FALSE(port.Open(number, 9600, 8, 0, 0)) << number;
    EXPECT_FALSE(port.IsOpen()) << number;
  }
  ASSERT_EQ(::symlink("/nonexistent/tty", (dir.Path() + "/COM6").c_str()), 0);
  EXPECT_EQ(CSerial::DevicePath(6), dir.Path() + "/COM6");
  EXPECT_FALSE(port.Open(6, 9600, 8, 0, 0));
  EXPECT_EQ(CSerial::DevicePath(7), "/dev/ttyS6");

  ASSERT_TRUE(OpenPort(0));
  EXPECT_FALSE(port.Open(kPort, 19200, 7, 0, 0));
  EXPECT_TRUE(port.IsOpen());
  ASSERT_TRUE(local->Write(Text("still here")));
  EXPECT_TRUE(WaitFor([&] { return listener.All() == Text("still here"); }));
}

TEST_F(SerialPortTest, AnEndOfAPairWhoseHolderIsGoneIsMissingUnlessTheLinkLeadsElsewhere) {
  CPairRecord record;
  record.pid = ::getpid();
  record.nameA = "COM5";
  record.pathA = pair.PathA();
  record.nameB = "COM5_FF";
  record.pathB = pair.PathB();
  const int lock = record.Publish(dir.Path());
  ASSERT_GE(lock, 0);
  ASSERT_TRUE(OpenPort(0));
  port.ClosePort();

  ::close(lock);  // as when the holder is killed: the record stays, its lock is free
  EXPECT_FALSE(OpenPort(0));
  EXPECT_FALSE(port.IsOpen());

  // A new holder that got the gone one's process number keeps its own record.
  CPairRecord reused = record;
  reused.nameA = "COM6";
  reused.nameB = "COM6_FF";
  const int reusedLock = reused.Publish(dir.Path());
  ASSERT_GE(reusedLock, 0);
  EXPECT_FALSE(OpenPort(0));
  ::close(reusedLock);

  const std::string link = dir.Path() + "/COM5";
  ASSERT_EQ(::unlink(link.c_str()), 0);
  ASSERT_EQ(::symlink(pair.PathB().c_str(), link.c_str()), 0);
  EXPECT_TRUE(OpenPort(0));
}

TEST_F(SerialPortTest, ASecondObjectCannotHoldTheSameDevice) {
  ASSERT_TRUE(OpenPort(0));
  ChunkListener otherListener;
  CSerial other(otherListener);
  EXPECT_FALSE(other.Open(kPort, 9600, 8, 0, 0));
  port.ClosePort();
  EXPECT_TRUE(other.Open(kPort, 9600, 8, 0, 0));
}

TEST_F(SerialPortTest, ASteadyStreamIsCutIntoFullChunksAndTheRest) {
  // The idle wait only has to outlast the hand-over inside the pair.
  ASSERT_TRUE(OpenPort(500));
  const Bytes stream = Pattern(2 * CS_BUFF_LEN + 1760, 1);
  ASSERT_TRUE(local->Write(stream));
  ASSERT_TRUE(WaitFor([&] { return listener.Received() == stream.size(); }));
  std::vector<std::size_t> sizes;
  for (const Bytes& chunk : listener.Chunks()) sizes.push_back(chunk.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{CS_BUFF_LEN, CS_BUFF_LEN, 1760}));
  EXPECT_EQ(listener.All(), stream);
}

TEST_F(SerialPortTest, BytesWithinTheIdleWaitJoinTheChunkAndAPauseStartsANewOne) {
  ASSERT_TRUE(OpenPort(500));
  ASSERT_TRUE(local->Write(Text("AAA")));
  ASSERT_TRUE(local->Write(Text("BBB")));
  ASSERT_TRUE(WaitFor([&] { return listener.Chunks().size() == 1; }));
  ASSERT_TRUE(local->Write(Text("CCC")));
  ASSERT_TRUE(WaitFor([&] { return listener.Chunks().size() == 2; }));
  EXPECT_EQ(listener.Chunks(), (std::vector<Bytes>{Text("AAABBB"), Text("CCC")}));
}

TEST_F(SerialPortTest, EveryIdleWaitKeepsChunksBoundedAndBytesInOrder) {
  for (unsigned idleWait : {0u, 50u}) {
    SCOPED_TRACE(idleWait);
    CSerial fresh(listener);
    fresh.SetIdleWait(idleWait);
    ASSERT_TRUE(fresh.Open(kPort, 115200, 8, 0, 0));
    const std::size_t before = listener.Received();
    const Bytes stream = Pattern(40000, idleWait);
    ASSERT_TRUE(local->Write(stream));
    ASSERT_TRUE(WaitFor([&] { return listener.Received() == before + stream.size(); }));
    for (const Bytes& chunk : listener.Chunks()) EXPECT_LE(chunk.size(), static_cast<std::size_t>(CS_BUFF_LEN));
    const Bytes all = listener.All();
    EXPECT_EQ(Bytes(all.begin() + static_cast<long>(before), all.end()), stream);
  }
}

TEST_F(SerialPortTest, WritesReachTheLocalEnd) {
  ASSERT_TRUE(OpenPort(0));
  const Bytes data = Pattern(10240, 9);
  EXPECT_EQ(port.Write(data.data(), static_cast<int>(data.size())), 10240);
  EXPECT_EQ(local->Read(data.size()), data);
}

TEST_F(SerialPortTest, AWriteNobodyTakesEndsShortAfterTheBound) {
  ASSERT_TRUE(OpenPort(0));
  local.reset();  // nobody reads the other end: the pair's buffers fill up
  const Bytes block = Pattern(10240, 2);
  int written = 0;
  for (int i = 0; i < 200; ++i) {
    written = port.Write(block.data(), static_cast<int>(block.size()));
    if (written < static_cast<int>(block.size())) break;
  }
  EXPECT_LT(written, static_cast<int>(block.size()));
  EXPECT_TRUE(port.IsOpen());
}

// WriteNow takes what fits and never waits; a write waiting for room ends when the port
// closes, long before the bound.
TEST_F(SerialPortTest, WriteNowNeverWaitsAndAWriteWaitingForRoomEndsAtClose) {
  ASSERT_TRUE(OpenPort(0));
  const Bytes block = Pattern(10240, 4);
  const int length = static_cast<int>(block.size());
  Bytes taken;
  int put = -1;
  for (int i = 0; i < 1000 && put != 0; ++i) {
    put = port.WriteNow(block.data(), length);
    ASSERT_GE(put, 0);
    taken.insert(taken.end(), block.begin(), block.begin() + put);
  }
  ASSERT_EQ(put, 0) << "the pair never filled up";
  ASSERT_FALSE(taken.empty());

  // The pair may still move bytes on and make room: write until a write waits. The
  // writing thread blocks every signal, as a thread started under a signal watcher does.
  std::atomic<int> written{-1};
  std::atomic<pid_t> writerId{0};
  const auto began = std::chrono::steady_clock::now();
  std::thread writer([&] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    writerId = ::gettid();
    for (int i = 0; i < 1000 && written != 0; ++i)
      if (port.Write(block.data(), length) < length) written = 0;
  });
  const bool blocked = WaitFor([&] { return writerId != 0 && SleepsInWrite(writerId); });
  port.ClosePort();
  writer.join();
  ASSERT_TRUE(blocked) << "the write never waited for room";
  EXPECT_EQ(written, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(4));
  EXPECT_EQ(port.WriteNow(block.data(), length), -1);
  EXPECT_EQ(local->Read(taken.size()), taken);
}

// A slow line that keeps taking bytes is not a failed port, however long the whole write.
TEST_F(SerialPortTest, AWriteToASlowReaderGoesOnPastTheBoundWhileBytesAreTaken) {
  ASSERT_TRUE(OpenPort(0));
  const Bytes data = Pattern(448 * 1024, 3);
  const int length = static_cast<int>(data.size());
  std::atomic<bool> writeEnded{false};
  Bytes got;
  std::thread reader([&local = local, &writeEnded, &got, length] {
    Bytes received;
    // About 64 KB a second: the whole write takes longer than the bound.
    for (;;) {
      const std::size_t left = static_cast<std::size_t>(length) - received.size();
      const Bytes part = local->Read(std::min<std::size_t>(4096, left), std::chrono::seconds(1));
      received.insert(received.end(), part.begin(), part.end());
      if (received.size() == static_cast<std::size_t>(length) || (part.empty() && writeEnded)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    got = std::move(received);
  });
  EXPECT_EQ(port.Write(data.data(), length), length);
  writeEnded = true;
  reader.join();
  EXPECT_EQ(got, data);
}

TEST_F(SerialPortTest, AVanishedDeviceClosesThePortAndFailsWrites) {
  ASSERT_TRUE(OpenPort(0));
  pair.TearDown();
  ASSERT_TRUE(WaitFor([&] { return listener.Gone() == 1; }));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Write(reinterpret_cast<const unsigned char*>("x"), 1), 0);
}

TEST_F(SerialPortTest, CloseAndReopenCyclesLeaveNoThreadBehind) {
  const std::size_t threadsBefore = ThreadCount();
  {
    CSerial cycled(listener);
    cycled.SetIdleWait(0);
    for (int cycle = 0; cycle < 30; ++cycle) {
      ASSERT_TRUE(cycled.Open(kPort, 9600, 8, 0, 0)) << cycle;
      const std::size_t before = listener.Received();
      ASSERT_TRUE(local->Write(Pattern(64, static_cast<unsigned>(cycle))));
      ASSERT_TRUE(WaitFor([&] { return listener.Received() == before + 64; })) << cycle;
      // Closed while input streams in: the event thread may be reading right now.
      ASSERT_TRUE(local->Write(Pattern(3000, 1)));
      cycled.ClosePort();
      EXPECT_FALSE(cycled.IsOpen());
      // Whatever the closed port did not take is still queued: drain it for the next cycle.
      ASSERT_TRUE(cycled.Open(kPort, 9600, 8, 0, 0));
      ASSERT_TRUE(WaitFor([&] { return listener.Received() >= before + 64 + 3000; })) << cycle;
      cycled.ClosePort();
    }
  }
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }));
}

}  // namespace
