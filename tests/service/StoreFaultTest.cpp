// The not-forwarded store under faults, seen from outside: vantreld as a process, devices
// on real TCP connections, a real Info.db that another connection locks, a disk that fills
// up, and kills in the middle of its work.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FaultService.h"
#include "TempDir.h"
#include "platform/CNullModemPair.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kStoring = 1;     // its tunnel names a port that cannot be opened
constexpr std::uint32_t kForwarding = 2;  // its tunnel names COM5, a pty pair the test reads

// A small tmpfs mounted on a folder for as long as the object lives.
class SmallDisk {
 public:
  SmallDisk(const std::string& path, const char* size) : m_path(path) {
    std::filesystem::create_directory(path);
    const std::string options = std::string("size=") + size + ",mode=0755";
    if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
      m_mounted = true;
    else
      m_error = std::strerror(errno);
  }
  ~SmallDisk() {
    if (m_mounted) ::umount2(m_path.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool Mounted() const { return m_mounted; }
  const std::string& Error() const { return m_error; }

  // Writes a filler file until the disk is full; false if it never filled.
  bool Fill() {
    const int fd = ::open(Filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::string block(64 * 1024, 'f');
    bool full = false;
    // A tmpfs of a few megabytes holds a bounded number of blocks.
    for (int written = 0; written < 4096 && !full; ++written) {
      const ssize_t put = ::write(fd, block.data(), block.size());
      full = put < static_cast<ssize_t>(block.size()) && (put >= 0 || errno == ENOSPC);
    }
    // What fits of a smaller write, so that no block of the file system stays free.
    for (int tries = 0; tries < 64 && ::write(fd, block.data(), 512) > 0; ++tries) {
    }
    ::close(fd);
    return full;
  }
  void Free() { std::filesystem::remove(Filler()); }

 private:
  std::string Filler() const { return m_path + "/filler"; }

  std::string m_path;
  bool m_mounted = false;
  std::string m_error;
};

// A device that stores (its port cannot be opened) and one that forwards to COM5.
class StoreFault : public ::testing::Test {
 protected:
  // Sets the service up in `appDir` and starts it with both devices registered.
  void StartIn(const std::string& appDir, const std::string& arguments = "") {
    service.emplace(appDir);
    std::filesystem::create_directory(appDir + "/ports");
    std::filesystem::create_symlink("/nonexistent/COM9", appDir + "/ports/COM9");
    ASSERT_TRUE(pair.Create()) << pair.LastError();
    ASSERT_TRUE(pair.Link(appDir + "/ports", "COM5", ""));
    local.emplace(pair.PathB());
    ASSERT_NO_FATAL_FAILURE(service->Configure({{kStoring, "COM9"}, {kForwarding, "COM5"}}));
    ASSERT_NO_FATAL_FAILURE(service->Start(arguments));
    storing.emplace(service->port);
    forwarding.emplace(service->port);
    ASSERT_TRUE(storing->Send(Registration(kStoring)));
    ASSERT_TRUE(forwarding->Send(Registration(kForwarding)));
    ASSERT_TRUE(service->Registered(kStoring)) << service->Output();
    ASSERT_TRUE(WaitRegistered(*local, *forwarding));
  }

  // The storing device sends the next `units`; they are added to what it has sent.
  void Store(std::size_t units) {
    const Bytes data = Units(sent.size() / 8, units);
    ASSERT_TRUE(storing->Send(data));
    sent.insert(sent.end(), data.begin(), data.end());
  }

  // The forwarding device's next units reach its port while the store is in trouble.
  void ExpectForwarding(std::size_t units) {
    const Bytes data = Units(forwarded, units);
    forwarded += units;
    ASSERT_TRUE(forwarding->Send(data));
    EXPECT_EQ(local->Read(data.size()), data);
  }

  // Everything sent by the storing device is stored, in order, within the bound.
  void ExpectAllStored(StoredFile& file, std::chrono::milliseconds bound = 60s) {
    EXPECT_TRUE(WaitFor([&] { return file.Data(DeviceId(kStoring)).size() >= sent.size(); }, bound))
        << file.Data(DeviceId(kStoring)).size() << " of " << sent.size() << " bytes stored\n"
        << service->Errors();
    EXPECT_EQ(file.Data(DeviceId(kStoring)), sent);
  }

  void StopAndCheck(const std::string& database) {
    service->Process().Signal(SIGTERM);
    EXPECT_EQ(service->Process().WaitForExit(), 0) << service->Errors();
    StoredFile file(database);
    EXPECT_EQ(file.Scalar("pragma integrity_check"), "ok");
  }

  CNullModemPair pair;
  std::optional<LocalEnd> local;
  std::optional<FaultService> service;
  std::optional<TestDevice> storing;
  std::optional<TestDevice> forwarding;
  Bytes sent;
  std::size_t forwarded = 0;
};

}  // namespace

// The disk under Info.db fills up: storing stops with one line, forwarding goes on, the
// records wait, and once there is room again they are stored without anyone's help.
TEST_F(StoreFault, AFullDiskKeepsRecordsUntilThereIsRoomAndForwardingGoesOn) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  TempDir base;
  const std::string appDir = base.File("app");
  SmallDisk disk(appDir, "4m");
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs on " << appDir << ": " << disk.Error();
  ASSERT_NO_FATAL_FAILURE(StartIn(appDir, "--debug"));
  StoredFile file(service->Database());
  ASSERT_NO_FATAL_FAILURE(Store(16));
  ASSERT_NO_FATAL_FAILURE(ExpectAllStored(file));

  ASSERT_TRUE(disk.Fill());
  // The file's free pages and the log's may take a few records before the disk is felt.
  for (int round = 0; round < 200 && service->Errors().find("cannot be stored") == std::string::npos; ++round) {
    ASSERT_NO_FATAL_FAILURE(Store(512));
    ASSERT_NO_FATAL_FAILURE(ExpectForwarding(16));
    WaitFor([&] { return service->Errors().find("cannot be stored") != std::string::npos; }, 200ms);
  }
  ASSERT_TRUE(service->ErrorsHave("cannot be stored")) << service->Errors();
  // Retries go on meanwhile (each one a debug line); neither they nor more records repeat
  // the warning.
  for (int round = 0; round < 5; ++round) {
    ASSERT_NO_FATAL_FAILURE(Store(64));
    ASSERT_NO_FATAL_FAILURE(ExpectForwarding(16));
  }
  EXPECT_TRUE(WaitFor([&] { return Occurrences(service->Errors(), "kept for a retry") >= 4; }, 60s));
  // The debug sink has its own copy of the line; the warning on stderr is counted.
  EXPECT_EQ(Occurrences(service->Errors(), "warning: not-forwarded data cannot be stored"), 1u) << service->Errors();

  disk.Free();
  ASSERT_NO_FATAL_FAILURE(ExpectAllStored(file));
  EXPECT_TRUE(service->ErrorsHave("warning: not-forwarded data is stored again")) << service->Errors();
  EXPECT_NE(service->Errors().find(" records that waited are stored"), std::string::npos);
  ASSERT_NO_FATAL_FAILURE(StopAndCheck(service->Database()));
}

// Another program holds Info.db's write lock for 30 s: the records of that time wait and
// are all stored once it lets go; forwarding never waits for the file.
TEST_F(StoreFault, ALockHeldByAnotherProgramFor30SecondsLosesNothing) {
  TempDir dir;
  ASSERT_NO_FATAL_FAILURE(StartIn(dir.Path()));
  StoredFile file(service->Database());
  ASSERT_NO_FATAL_FAILURE(Store(16));
  ASSERT_NO_FATAL_FAILURE(ExpectAllStored(file));

  StoredFile locker(service->Database());
  ASSERT_EQ(locker.Exec("begin exclusive"), SQLITE_OK);
  const std::size_t before = sent.size();
  const auto until = std::chrono::steady_clock::now() + 30s;
  // The lock's 30 s, with a record from each device every second.
  for (int second = 1; second <= 30 && std::chrono::steady_clock::now() < until; ++second) {
    ASSERT_NO_FATAL_FAILURE(Store(32));
    ASSERT_NO_FATAL_FAILURE(ExpectForwarding(8));
    std::this_thread::sleep_until(std::min(until, std::chrono::steady_clock::now() + 1s));
  }
  std::this_thread::sleep_until(until);
  EXPECT_EQ(file.Data(DeviceId(kStoring)).size(), before) << "nothing is stored while the lock is held";
  ASSERT_EQ(locker.Exec("commit"), SQLITE_OK);

  ASSERT_NO_FATAL_FAILURE(ExpectAllStored(file));
  EXPECT_TRUE(service->ErrorsHave("warning: not-forwarded data is stored again after ")) << service->Errors();
  EXPECT_EQ(Occurrences(service->Errors(), "warning: not-forwarded data cannot be stored for now: database is locked"),
            1u)
      << service->Errors();
  ASSERT_NO_FATAL_FAILURE(StopAndCheck(service->Database()));
}

namespace {

// Kills vantreld with SIGKILL in the middle of its work, again and again, in one folder.
class KillFault : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir.File("ports"));
    std::filesystem::create_symlink("/nonexistent/COM9", dir.File("ports/COM9"));
    ASSERT_NO_FATAL_FAILURE(service.Configure({{kStoring, "COM9"}}));
  }

  void Kill() {
    service.Process().Signal(SIGKILL);
    // A killed process has no exit code.
    EXPECT_EQ(service.Process().WaitForExit(), -1);
  }

  // The file is whole and still holds every row read from it before the kill.
  void ExpectCommittedRows(const std::vector<std::pair<std::int64_t, Bytes>>& before) {
    StoredFile file(service.Database());
    EXPECT_EQ(file.Scalar("pragma integrity_check"), "ok");
    std::map<std::int64_t, Bytes> after;
    for (auto& [rowid, data] : file.Rows(DeviceId(kStoring))) after.emplace(rowid, std::move(data));
    for (const auto& [rowid, data] : before) {
      const auto found = after.find(rowid);
      ASSERT_NE(found, after.end()) << "row " << rowid << " committed before the kill is gone";
      ASSERT_EQ(found->second, data) << "row " << rowid << " changed";
    }
  }

  static constexpr int kRounds = 20;
  TempDir dir;
  FaultService service{dir.Path()};
};

}  // namespace

// Killed while records pour into the store: each start finds a sound file with every row
// that was committed before.
TEST_F(KillFault, KilledDuringAStoreBurstItStartsAgainWithEveryCommittedRow) {
  std::size_t unit = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_NO_FATAL_FAILURE(service.Start());
    TestDevice device(service.port);
    ASSERT_TRUE(device.Send(Registration(kStoring)));
    ASSERT_TRUE(service.Registered(kStoring)) << service.Output();
    StoredFile file(service.Database());
    const auto rows = [&] { return std::stoull("0" + file.Scalar("select count(*) from NotTransData")); };
    const std::size_t rowsBefore = rows();
    std::atomic<bool> stop{false};
    // The burst: blocks as fast as the service takes them, until it is killed.
    std::thread sender([&] {
      for (int block = 0; block < 4000 && !stop; ++block) {
        if (!device.Send(Units(unit, 32))) break;
        unit += 32;
      }
    });
    const bool storing = WaitFor([&] { return rows() >= rowsBefore + 8; });
    const auto committed = file.Rows(DeviceId(kStoring));
    // A different moment of the write in each round.
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 7)));
    Kill();
    stop = true;
    sender.join();
    ASSERT_TRUE(storing) << service.Errors();
    ASSERT_NO_FATAL_FAILURE(ExpectCommittedRows(committed));
  }
  ASSERT_NO_FATAL_FAILURE(service.Start());
  service.Process().Signal(SIGTERM);
  EXPECT_EQ(service.Process().WaitForExit(), 0) << service.Errors();
}

// Killed while it reloads its configuration: each start finds a sound file with every
// tunnel and every stored row committed before.
TEST_F(KillFault, KilledDuringAReloadItStartsAgainWithEverythingCommitted) {
  Bytes sent;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_NO_FATAL_FAILURE(service.Start());
    TestDevice device(service.port);
    ASSERT_TRUE(device.Send(Registration(kStoring)));
    ASSERT_TRUE(service.Registered(kStoring)) << service.Output();
    const Bytes data = Units(sent.size() / 8, 16);
    ASSERT_TRUE(device.Send(data));
    sent.insert(sent.end(), data.begin(), data.end());
    StoredFile file(service.Database());
    ASSERT_TRUE(WaitFor([&] { return file.Data(DeviceId(kStoring)) == sent; })) << service.Errors();
    const auto committed = file.Rows(DeviceId(kStoring));
    ASSERT_EQ(Vantreld(dir.Path()).Run("tunnel add " + DeviceId(100 + round) + " --port COM9"), 0);

    service.Process().Signal(SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 8));
    Kill();
    ASSERT_NO_FATAL_FAILURE(ExpectCommittedRows(committed));
    EXPECT_EQ(file.Scalar("select count(*) from TunnelInfo"), std::to_string(round + 2));
  }
  ASSERT_NO_FATAL_FAILURE(service.Start());
  service.Process().Signal(SIGTERM);
  EXPECT_EQ(service.Process().WaitForExit(), 0) << service.Errors();
}

// More records wait for a locked Info.db than the store's queue holds (hundreds of devices,
// each held at its limit of records in flight): what goes is told as a warning with its
// count, not in a debug line nobody reads.
TEST(StoreQueueFault, RecordsBeyondTheStoreQueueAreCountedInAWarning) {
  constexpr std::uint32_t kDevices = 400;
  TempDir dir;
  std::filesystem::create_directory(dir.File("ports"));
  std::filesystem::create_symlink("/nonexistent/COM9", dir.File("ports/COM9"));
  FaultService service(dir.Path());
  ASSERT_NO_FATAL_FAILURE(service.Configure({{1, "COM9"}}));
  {
    // The other tunnels straight into the table: hundreds of commands would take minutes.
    StoredFile file(service.Database());
    ASSERT_EQ(file.Exec("with recursive number(value) as (select 2 union all select value + 1 from number where value < " +
                        std::to_string(kDevices) +
                        ") insert into TunnelInfo select printf('%08X', value), SerialNo, BaudRate, DateBit, StopBit, "
                        "Parity, Note from TunnelInfo, number where DeviceID = '00000001'"),
              SQLITE_OK);
  }
  ASSERT_NO_FATAL_FAILURE(service.Start());
  std::vector<std::unique_ptr<TestDevice>> devices;
  for (std::uint32_t number = 1; number <= kDevices; ++number) {
    devices.push_back(std::make_unique<TestDevice>(service.port));
    ASSERT_TRUE(devices.back()->Send(Registration(number)));
  }
  ASSERT_TRUE(service.OutputHas(kMatchedOnline + ":" + std::to_string(kDevices))) << service.Output();

  StoredFile locker(service.Database());
  ASSERT_EQ(locker.Exec("begin exclusive"), SQLITE_OK);
  // Rounds of one small record from every device, until more wait than the queue holds.
  const std::string warning = "warning: not-forwarded data: ";
  for (int round = 0; round < 40 && service.Errors().find(warning) == std::string::npos; ++round) {
    for (auto& device : devices) ASSERT_TRUE(device->Send(Units(round, 1)));
    WaitFor([&] { return service.Errors().find(warning) != std::string::npos; }, 50ms);
  }
  EXPECT_TRUE(service.ErrorsHave(" records could not be stored: more than 5000 waited for the database"))
      << service.Errors();
  ASSERT_EQ(locker.Exec("commit"), SQLITE_OK);
  // The rest is stored, at the latest by the stop's last attempt.
  service.Process().Signal(SIGTERM);
  EXPECT_EQ(service.Process().WaitForExit(), 0) << service.Errors();
  StoredFile file(service.Database());
  EXPECT_EQ(file.Scalar("pragma integrity_check"), "ok");
  EXPECT_NE(file.Scalar("select count(*) from NotTransData"), "0");
}
