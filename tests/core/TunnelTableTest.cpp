#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "WaitFor.h"
#include "core/CTunnelTable.h"

namespace {

TunnelInfo Tunnel(const std::string& id, const std::string& port, const std::string& note = "") {
  return TunnelInfo{id, port, "9600", "8", "1", "None", note};
}

class TunnelTableTest : public ::testing::Test {
 protected:
  void SetUp() override { table.Clear(); }
  void TearDown() override { table.Clear(); }
  CTunnelTable& table = CTunnelTable::Instance();
};

// Waits until the clock's second differs from `stamp`, so a change of LastChange shows.
void WaitForNextSecond(std::uint32_t stamp) {
  ASSERT_TRUE(WaitFor([&] { return static_cast<std::uint32_t>(std::time(nullptr)) != stamp; }));
}

}  // namespace

TEST_F(TunnelTableTest, AddKeepsAnExistingRecordButMovesLastChange) {
  table.Add(Tunnel("00000001", "COM3", "first"));
  const std::uint32_t first = table.LastChange();
  EXPECT_NE(first, 0u);
  WaitForNextSecond(first);
  table.Add(Tunnel("00000001", "COM4", "second"));
  EXPECT_EQ(table.Get("00000001").Note, "first");
  EXPECT_GT(table.LastChange(), first);
  table.Modify(Tunnel("00000001", "COM4", "second"));
  EXPECT_EQ(table.Get("00000001").SerialNo, "COM4");
}

TEST_F(TunnelTableTest, RemovingAnAbsentIdChangesNothing) {
  table.Add(Tunnel("00000001", "COM3"));
  const std::uint32_t stamp = table.LastChange();
  WaitForNextSecond(stamp);
  table.Remove("0000FFFF");
  EXPECT_EQ(table.LastChange(), stamp);
  EXPECT_EQ(table.Count(), 1u);
  table.Remove("00000001");
  EXPECT_GT(table.LastChange(), stamp);
  EXPECT_EQ(table.Count(), 0u);
}

TEST_F(TunnelTableTest, KeysAreCaseSensitivePortNamesAreNot) {
  table.Add(Tunnel("ABCD1234", "COM3"));
  table.Add(Tunnel("abcd1234", "com3"));
  table.Add(Tunnel("00000002", "COM30"));
  EXPECT_EQ(table.Count(), 3u);
  EXPECT_FALSE(table.Contains("Abcd1234"));
  EXPECT_EQ(table.IdsOnPort("com3"), (std::vector<std::string>{"ABCD1234", "abcd1234"}));
  EXPECT_EQ(table.IdsOnPort("COM3"), (std::vector<std::string>{"ABCD1234", "abcd1234"}));
  // A device moved to another port, and one removed, leave their old port's list.
  table.Modify(Tunnel("abcd1234", "COM30"));
  EXPECT_EQ(table.IdsOnPort("COM3"), (std::vector<std::string>{"ABCD1234"}));
  EXPECT_EQ(table.IdsOnPort("com30"), (std::vector<std::string>{"00000002", "abcd1234"}));
  table.Remove("ABCD1234");
  EXPECT_TRUE(table.IdsOnPort("COM3").empty());
}

TEST_F(TunnelTableTest, GetOfAnAbsentIdDoesNotConfigureIt) {
  EXPECT_EQ(table.Get("00000009"), TunnelInfo{});
  EXPECT_FALSE(table.Contains("00000009"));
  EXPECT_EQ(table.Count(), 0u);
  EXPECT_TRUE(table.Snapshot().empty());
}

TEST_F(TunnelTableTest, LookupsFromWorkerThreadsWhileTheTableChanges) {
  std::atomic<bool> done{false};
  std::atomic<int> lookups{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        table.Contains("00000001");
        table.IdsOnPort("COM1");
        const TunnelInfo found = table.Get("00000001");
        EXPECT_TRUE(found.DeviceID.empty() || found.DeviceID == "00000001");
        ++lookups;
      }
    });
  }
  // Keep changing the table until the readers have looked up plenty meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < 2000 || (lookups < 2000 && std::chrono::steady_clock::now() < deadline); ++i) {
    table.Modify(Tunnel("00000001", "COM1", std::to_string(i)));
    table.Add(Tunnel("0000000" + std::to_string(i % 8 + 2), "COM1"));
    table.Remove("00000001");
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_GE(lookups.load(), 2000);
}

TEST(NetworkListTest, EntriesParseOrNameTheFirstBadOne) {
  struct Case {
    const char* text;
    const char* bad;        // empty: the text parses
    const char* canonical;  // the parsed list written back
  };
  const Case cases[] = {
      {"", "", ""},
      {"  ", "", ""},
      {"10.0.0.0/8,203.0.113.7/32", "", "10.0.0.0/8,203.0.113.7/32"},
      {" 203.0.113.7 , 0.0.0.0/0", "", "203.0.113.7/32,0.0.0.0/0"},
      {"10.1.2.3/8", "10.1.2.3/8", ""},  // host bits under the mask: a typing error
      {"10.0.0.0/33", "10.0.0.0/33", ""},
      {"10.0.0.0/", "10.0.0.0/", ""},
      {"10.0.0/8", "10.0.0/8", ""},
      {"010.0.0.0/8", "010.0.0.0/8", ""},
      {"10.0.0.0/8,,11.0.0.0/8", "an empty entry", ""},
      {"example.com", "example.com", ""},
      {"10.0.0.0/8x", "10.0.0.0/8x", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<Ipv4Network> networks;
    std::string bad;
    EXPECT_EQ(ParseNetworks(c.text, networks, bad), *c.bad == '\0');
    EXPECT_EQ(bad, c.bad);
    EXPECT_EQ(NetworksText(networks), c.canonical);
  }
}

TEST_F(TunnelTableTest, ABindingAdmitsOnlyItsPhoneAndNetworks) {
  table.Add(Tunnel("00000001", "COM1"));
  std::string bad;
  EXPECT_FALSE(table.SetBinding({"00000001", "139", "10.0.0.0/8,nonsense"}, bad));
  EXPECT_EQ(bad, "nonsense");
  EXPECT_FALSE(table.GetBinding("00000001"));
  ASSERT_TRUE(table.SetBinding({"00000001", "139", "10.0.0.0/8"}, bad));
  const std::uint32_t inside = 0x0A010203, outside = 0x0B010203;
  using A = CTunnelTable::Admission;
  EXPECT_EQ(table.Admit("00000001", "139", inside), A::Accepted);
  EXPECT_EQ(table.Admit("00000001", "1390", inside), A::WrongPhone);
  EXPECT_EQ(table.Admit("00000001", "139", outside), A::WrongNetwork);
  EXPECT_EQ(table.Admit("00000002", "anything", outside), A::Accepted);  // unbound
  // Neither phone nor networks: no binding at all.
  ASSERT_TRUE(table.SetBinding({"00000001", "", ""}, bad));
  EXPECT_FALSE(table.GetBinding("00000001"));
  ASSERT_TRUE(table.SetBinding({"00000001", "", "10.0.0.0/8"}, bad));
  EXPECT_EQ(table.Admit("00000001", "any phone", inside), A::Accepted);
  // Deleting the tunnel deletes its binding.
  table.Remove("00000001");
  EXPECT_FALSE(table.GetBinding("00000001"));
}
