#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "SerialFixture.h"
#include "platform/CNullModemPair.h"

namespace {

TEST(NullModemPairTest, CarriesBothWaysWithoutLossUnderBackPressure) {
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create()) << pair.LastError();
  LocalEnd a(pair.PathA());
  LocalEnd b(pair.PathB());
  ASSERT_TRUE(a.IsOpen() && b.IsOpen());

  // Far more than the pty buffers hold: the writer is held back, nothing is dropped.
  const Bytes bulk = Pattern(256 * 1024, 3);
  bool wrote = false;
  std::thread writer([&] { wrote = a.Write(bulk); });
  EXPECT_EQ(b.Read(bulk.size()), bulk);
  writer.join();
  EXPECT_TRUE(wrote);

  ASSERT_TRUE(b.Write(Text("answer")));
  EXPECT_EQ(a.Read(6), Text("answer"));
}

TEST(NullModemPairTest, AnEndMayBeClosedAndReopenedWithoutHangingUpTheOther) {
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create());
  LocalEnd a(pair.PathA());
  { LocalEnd b(pair.PathB()); }
  // Nobody holds B now: what A writes waits for the next program that opens B.
  ASSERT_TRUE(a.Write(Text("kept")));
  LocalEnd b(pair.PathB());
  EXPECT_EQ(b.Read(4), Text("kept"));
}

TEST(NullModemPairTest, TearDownMakesTheEndVanishAndRemovesItsLinks) {
  TempPortDir dir;
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create());
  ASSERT_TRUE(pair.Link(dir.Path(), "COM5", "COM5_FF"));
  const std::string linkA = dir.Path() + "/COM5";
  ASSERT_TRUE(std::filesystem::is_symlink(linkA));
  const int held = ::open(linkA.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);

  pair.TearDown();

  pollfd fd{held, POLLIN, 0};
  ASSERT_EQ(::poll(&fd, 1, 20000), 1);
  EXPECT_NE(fd.revents & POLLHUP, 0);
  EXPECT_EQ(::write(held, "x", 1), -1);
  EXPECT_EQ(errno, EIO);
  ::close(held);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkA)));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.Path() + "/COM5_FF")));
}

TEST(NullModemPairTest, LinkRefusesATakenNameAndLeavesNothingBehind) {
  TempPortDir dir;
  CNullModemPair first;
  CNullModemPair second;
  ASSERT_TRUE(first.Create());
  ASSERT_TRUE(second.Create());
  ASSERT_TRUE(first.Link(dir.Path(), "", "COM2"));

  EXPECT_FALSE(second.Link(dir.Path(), "COM1", "COM2"));
  EXPECT_EQ(second.LastError(), EEXIST);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.Path() + "/COM1")));
  EXPECT_EQ(std::filesystem::read_symlink(dir.Path() + "/COM2"), first.PathB());
}

}  // namespace
