// A reload while devices send: vantreld as a process with its own application directory,
// devices on real TCP connections, each port one end of a real pty pair whose far end the
// test reads and writes, the configuration changed with vantreld's own commands.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../storage/SqliteFile.h"
#include "FreePort.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"

namespace {

std::string IdOf(int number) {
  char id[9];
  std::snprintf(id, sizeof id, "%08X", number);
  return id;
}

// Everything that arrives on a byte stream, gathered by a thread of its own so that the
// test can send meanwhile. `read` takes what came within a short bound.
class StreamReader {
 public:
  explicit StreamReader(std::function<Bytes()> read)
      : m_thread([this, read = std::move(read)] {
          while (!m_stop) {
            const Bytes got = read();
            std::lock_guard lock(m_mutex);
            m_text.append(got.begin(), got.end());
          }
        }) {}
  ~StreamReader() {
    m_stop = true;
    m_thread.join();
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  std::string Text() {
    std::lock_guard lock(m_mutex);
    return m_text;
  }
  bool Has(const std::string& piece) { return Text().find(piece) != std::string::npos; }

 private:
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::string m_text;
  std::thread m_thread;
};

// The sequence numbers of the lines "<tag>:<n>\n" in `text`, in the order they came.
std::vector<int> Sequence(const std::string& text, const std::string& tag) {
  std::vector<int> numbers;
  const std::regex line("(?:^|\n)" + tag + ":([0-9]+)(?=\n)");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
    numbers.push_back(std::stoi((*it)[1].str()));
  return numbers;
}

std::vector<int> Range(int from, int to) {
  std::vector<int> numbers;
  for (int n = from; n < to; ++n) numbers.push_back(n);
  return numbers;
}

// vantreld on 127.0.0.1 with ports made on demand as pty pairs in its port directory.
class VantreldReloadTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(dir.File("ports")); }

  // COM<n>, one end of a new pair; the test holds the other end, read by a reader.
  void AddPort(int n) {
    auto pair = std::make_unique<CNullModemPair>();
    ASSERT_TRUE(pair->Create()) << pair->LastError();
    ASSERT_TRUE(pair->Link(dir.File("ports"), "COM" + std::to_string(n), ""));
    auto end = std::make_unique<LocalEnd>(pair->PathB());
    ASSERT_TRUE(end->IsOpen());
    LocalEnd* raw = end.get();
    readers[n] = std::make_unique<StreamReader>([raw] { return raw->Read(1 << 16, std::chrono::milliseconds(20)); });
    pairs[n] = std::move(pair);
    ends[n] = std::move(end);
  }

  void Command(const std::string& arguments) {
    ASSERT_EQ(vantreld.Run(arguments), 0) << arguments << ": " << vantreld.Errors();
  }

  void Start() {
    Command("settings set --ip 127.0.0.1 --port " + std::to_string(port) + " --delay 0");
    vantreld.Start();
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  }

  // A device of that number, connected and registered.
  TestDevice& Connect(int number) {
    auto device = std::make_unique<TestDevice>(port);
    EXPECT_TRUE(device->IsOpen());
    EXPECT_TRUE(device->Send(Registration(static_cast<std::uint32_t>(number))));
    EXPECT_TRUE(WaitFor([&] { return vantreld.Output().find("Device " + IdOf(number) + " registered") != std::string::npos; }))
        << vantreld.Output();
    TestDevice& added = *device;
    devices[number] = std::move(device);
    return added;
  }

  void SendLine(int number, int sequence) {
    ASSERT_TRUE(devices.at(number)->Send(Text("D" + std::to_string(number) + ":" + std::to_string(sequence) + "\n")));
  }

  // What a device's records that did not reach a port left in the not-forwarded store.
  std::string Stored(int number) {
    SqliteFile file(dir.File("Info.db"));
    std::string text;
    for (const auto& row : file.Rows("SELECT ReceiveData FROM NotTransData WHERE DeviceID = '" + IdOf(number) +
                                     "' ORDER BY rowid"))
      text += row[0];
    return text;
  }

  bool Reloads(std::size_t count) {
    const std::string output = vantreld.Output();
    std::size_t found = 0;
    for (std::size_t at = output.find("Reloaded the tunnels"); at != std::string::npos;
         at = output.find("Reloaded the tunnels", at + 1))
      ++found;
    return found >= count;
  }

  TempDir dir;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t port = FreePort();
  std::map<int, std::unique_ptr<CNullModemPair>> pairs;
  std::map<int, std::unique_ptr<LocalEnd>> ends;
  std::map<int, std::unique_ptr<StreamReader>> readers;
  std::map<int, std::unique_ptr<TestDevice>> devices;
};

// Devices 1 and 5 on COM1, 2 and 3 on COM2, 4 on COM3; device 6 is online without a
// tunnel. While every device sends and the programs on COM1 and COM2 write to their
// devices, one reload adds a tunnel for 6 on COM5, moves 2 to COM4, deletes 5 and changes
// COM3's baud rate. Devices 1 and 3, whose tunnels did not change (each shares its port
// with a device that leaves it), see no close and lose no byte either way; nobody is
// closed; a moved or reopened device's records reach a port or the store, each once; the
// deleted device's data stops at its old port; the added device's reaches its new one.
TEST_F(VantreldReloadTest, AReloadWhileDevicesSendDropsNobody) {
  for (int n = 1; n <= 5; ++n) AddPort(n);
  Command("tunnel add " + IdOf(1) + " --port COM1");
  Command("tunnel add " + IdOf(5) + " --port COM1");
  Command("tunnel add " + IdOf(2) + " --port COM2");
  Command("tunnel add " + IdOf(3) + " --port COM2");
  Command("tunnel add " + IdOf(4) + " --port COM3 --baud 9600");
  Start();
  for (int n = 1; n <= 6; ++n) Connect(n);
  // What the untouched devices get from their ports' programs.
  std::map<int, std::unique_ptr<StreamReader>> toDevice;
  for (const int n : {1, 3})
    toDevice[n] = std::make_unique<StreamReader>(
        [&, n] { return devices.at(n)->Read(1 << 16, std::chrono::milliseconds(20)); });

  // Stored now, used from the reload on.
  Command("tunnel add " + IdOf(6) + " --port COM5");
  Command("tunnel modify " + IdOf(2) + " --port COM4");
  Command("tunnel delete " + IdOf(5));
  Command("tunnel modify " + IdOf(4) + " --baud 19200");

  constexpr int kBefore = 100, kAfter = 100;
  int sent = 0;
  std::map<int, std::string> fromPort;  // by the number of the untouched device that gets it
  for (; sent < kBefore + kAfter || !Reloads(1); ++sent) {
    ASSERT_LT(sent, 20000) << "no reload line: " << vantreld.Output() << vantreld.Errors();
    if (sent == kBefore) vantreld.Signal(SIGHUP);
    for (int n = 1; n <= 6; ++n) SendLine(n, sent);
    for (const auto& [device, com] : std::map<int, int>{{1, 1}, {3, 2}}) {
      const std::string line = "P" + std::to_string(com) + ":" + std::to_string(sent) + "\n";
      ASSERT_TRUE(ends.at(com)->Write(Text(line)));
      fromPort[device] += line;
    }
    // Paced by the untouched device's own line reaching its port.
    ASSERT_TRUE(WaitFor([&] { return readers.at(1)->Has("D1:" + std::to_string(sent) + "\n"); }))
        << readers.at(1)->Text();
  }
  const std::string last = ":" + std::to_string(sent - 1) + "\n";
  ASSERT_TRUE(WaitFor([&] { return readers.at(2)->Has("D3" + last); }));
  ASSERT_TRUE(WaitFor([&] { return readers.at(5)->Has("D6" + last); })) << "the added tunnel's port gets its data";
  for (const int n : {1, 3}) {
    SCOPED_TRACE("to device " + std::to_string(n));
    ASSERT_TRUE(WaitFor([&] { return toDevice.at(n)->Text().size() >= fromPort.at(n).size(); }));
    EXPECT_EQ(toDevice.at(n)->Text(), fromPort.at(n));
  }
  EXPECT_EQ(Sequence(readers.at(1)->Text(), "D1"), Range(0, sent));
  EXPECT_EQ(Sequence(readers.at(2)->Text(), "D3"), Range(0, sent));

  // The moved device and the reopened port's: every line once, at a port or stored.
  for (const auto& [number, ports] : std::map<int, std::vector<int>>{{2, {2, 4}}, {4, {3}}}) {
    SCOPED_TRACE("device " + std::to_string(number));
    const std::string tag = "D" + std::to_string(number);
    std::multiset<int> seen;
    ASSERT_TRUE(WaitFor([&] {
      seen.clear();
      for (const int at : ports)
        for (const int n : Sequence(readers.at(at)->Text(), tag)) seen.insert(n);
      for (const int n : Sequence("\n" + Stored(number), tag)) seen.insert(n);
      return seen.size() >= static_cast<std::size_t>(sent);
    })) << seen.size() << " of " << sent;
    const std::vector<int> all = Range(0, sent);
    EXPECT_EQ(seen, std::multiset<int>(all.begin(), all.end()));
  }
  // The deleted device's lines reached COM1 up to the reload and none after a gap.
  const std::vector<int> deleted = Sequence(readers.at(1)->Text(), "D5");
  EXPECT_EQ(deleted, Range(0, static_cast<int>(deleted.size())));
  EXPECT_LT(deleted.size(), static_cast<std::size_t>(sent));

  const std::string output = vantreld.Output();
  EXPECT_EQ(output.find(" offline"), std::string::npos) << output;
  EXPECT_NE(output.find("Reloaded the tunnels and settings: tunnels: 1 added, 1 moved to another port, 1 deleted, "
                        "1 changed on their port, 2 unchanged; ports: opened COM4, COM5; reopened with new settings "
                        "COM3"),
            std::string::npos)
      << output;
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0);
}

// A reload that cannot be applied changes nothing: the reason on stderr, the tunnels and
// settings in effect stay (here a deleted tunnel keeps forwarding), and a later good
// reload applies.
TEST_F(VantreldReloadTest, AReloadThatCannotBeAppliedKeepsTheRunningConfiguration) {
  struct Case {
    const char* name;
    std::function<void()> spoil, mend;
    const char* reason;
  };
  const std::string db = dir.File("Info.db");
  const std::string saved = dir.File("Info.db.good");
  const std::vector<Case> cases = {
      {"a setting that is no number",
       [&] { SqliteFile(db).Exec("UPDATE TabSetting SET ParamValue = 'many' WHERE ParamKey = 'DelayComRead'"); },
       [&] { SqliteFile(db).Exec("UPDATE TabSetting SET ParamValue = '0' WHERE ParamKey = 'DelayComRead'"); },
       "setting DelayComRead"},
      {"a file that is no database",
       [&] {
         std::filesystem::rename(db, saved);
         std::FILE* file = std::fopen(db.c_str(), "w");
         std::fputs("these are not the tunnels you are looking for\n", file);
         std::fclose(file);
       },
       [&] { std::filesystem::rename(saved, db); }, "database"},
  };
  AddPort(1);
  Command("tunnel add " + IdOf(1) + " --port COM1");
  Start();
  TestDevice& device = Connect(1);
  Command("tunnel delete " + IdOf(1));
  std::size_t refused = 0;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    row.spoil();
    vantreld.Signal(SIGHUP);
    ++refused;
    ASSERT_TRUE(WaitFor([&] {
      const std::string errors = vantreld.Errors();
      std::size_t lines = 0;
      for (std::size_t at = errors.find("Reload refused"); at != std::string::npos; at = errors.find("Reload refused", at + 1))
        ++lines;
      return lines >= refused;
    })) << vantreld.Errors();
    const std::string errors = vantreld.Errors();
    EXPECT_NE(errors.find(row.reason, errors.rfind("Reload refused")), std::string::npos) << errors;
    row.mend();
    const std::string text = std::string("still forwarded after: ") + row.name + "\n";
    ASSERT_TRUE(device.Send(Text(text)));
    EXPECT_TRUE(WaitFor([&] { return readers.at(1)->Has(text); })) << readers.at(1)->Text();
  }
  vantreld.Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return Reloads(1); })) << vantreld.Errors();
  EXPECT_NE(vantreld.Output().find("1 deleted"), std::string::npos) << vantreld.Output();
  EXPECT_EQ(vantreld.Output().find(" offline"), std::string::npos) << "the device keeps its link";
}

// A new LocalPort: the new listener takes devices, the old one is gone, and a device that
// came through the old one keeps its link.
TEST_F(VantreldReloadTest, AMovedListenerKeepsTheDevicesItAccepted) {
  AddPort(1);
  Command("tunnel add " + IdOf(1) + " --port COM1");
  Command("tunnel add " + IdOf(2) + " --port COM1");
  Start();
  TestDevice& first = Connect(1);
  const std::uint16_t moved = FreePort();
  Command("settings set --port " + std::to_string(moved));
  vantreld.Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return Reloads(1); })) << vantreld.Errors();
  EXPECT_NE(vantreld.Output().find("Listening for devices on 127.0.0.1:" + std::to_string(moved)), std::string::npos)
      << vantreld.Output();
  EXPECT_FALSE(TestDevice(port).IsOpen()) << "the old listener is closed";
  TestDevice second(moved);
  ASSERT_TRUE(second.Send(Registration(2)));
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find("Device 00000002 registered") != std::string::npos; }));
  ASSERT_TRUE(first.Send(Text("first\n")));
  ASSERT_TRUE(second.Send(Text("second\n")));
  EXPECT_TRUE(WaitFor([&] { return readers.at(1)->Has("first\n") && readers.at(1)->Has("second\n"); }))
      << readers.at(1)->Text();
  EXPECT_EQ(vantreld.Output().find(" offline"), std::string::npos) << vantreld.Output();
}

}  // namespace
