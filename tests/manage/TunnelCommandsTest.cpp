#include "../storage/SqliteFile.h"
#include <nlohmann/json.hpp>

#include "ManageFixture.h"

namespace {

const TunnelInfo kOnCom3{"0000AAAA", "COM3", "9600", "7", "2", "Even", "meter"};

using Args = std::vector<std::string>;

}  // namespace

TEST_F(ManageTest, AddStoresEditorDefaultsInUpperCaseAndListShowsIt) {
  const CommandRun added = Run({"tunnel", "add", "01abcdef", "--port", "com12", "--note", "pump 'north'"});
  ASSERT_EQ(added.exitCode, 0) << added.err;
  EXPECT_EQ(Tunnels(), (std::vector<TunnelInfo>{{"01ABCDEF", "COM12", "115200", "8", "1", "None", "pump 'north'"}}));

  const CommandRun listed = Run({"tunnel", "list"});
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_NE(listed.out.find("01ABCDEF   COM12  115200     8          None    1          any    any   pump 'north'"),
            std::string::npos)
      << listed.out;

  // Every value of every list is taken, written as the editor lists it.
  ASSERT_EQ(Run({"tunnel", "add", "01ABCDE0", "--port", "COM1024", "--baud", "256000", "--data-bits", "5",
                 "--stop-bits", "1.5", "--parity", "mark"})
                .exitCode,
            0);
  EXPECT_EQ(Tunnels()[0], (TunnelInfo{"01ABCDE0", "COM1024", "256000", "5", "1.5", "Mark", ""}));
}

TEST_F(ManageTest, BadTunnelInputExitsTwoAndWritesNothing) {
  ASSERT_EQ(store.AddTunnel(kOnCom3), 1);
  const Args cases[] = {
      {"tunnel", "add", "0123456", "--port", "COM1"},
      {"tunnel", "add", "012345678", "--port", "COM1"},
      {"tunnel", "add", "0123456G", "--port", "COM1"},
      {"tunnel", "add", "01234567"},
      {"tunnel", "add", "01234567", "--port", "COM0"},
      {"tunnel", "add", "01234567", "--port", "COM1025"},
      {"tunnel", "add", "01234567", "--port", "COM01"},
      {"tunnel", "add", "01234567", "--port", "/dev/ttyS0"},
      {"tunnel", "add", "01234567", "--port", "COM1", "--baud", "110"},
      {"tunnel", "add", "01234567", "--port", "COM1", "--data-bits", "9"},
      {"tunnel", "add", "01234567", "--port", "COM1", "--stop-bits", "1,5"},
      {"tunnel", "add", "01234567", "--port", "COM1", "--parity", "N"},
      {"tunnel", "add", "0000aaaa", "--port", "COM1"},
      {"tunnel", "modify", "0000AAAA"},
      {"tunnel", "modify", "0000AAAA", "--baud", "9601"},
      {"tunnel", "modify", "0000BBBB", "--baud", "9600"},
      {"tunnel", "modify", "AAAA", "--baud", "9600"},
      {"tunnel", "delete", "0000BBBB"},
      {"tunnel", "delete", "0000AAA"},
      {"tunnel", "delete"},
  };
  for (const Args& args : cases) {
    std::string text;
    for (const auto& arg : args) text += arg + " ";
    ExpectBadInput(Run(args), text);
    EXPECT_EQ(Tunnels(), std::vector<TunnelInfo>{kOnCom3}) << text;
  }
}

TEST_F(ManageTest, SamePortRuleRefusesWithoutForceAndAlignsTheOthersWithIt) {
  ASSERT_EQ(store.AddTunnel(kOnCom3), 1);
  ASSERT_EQ(store.AddTunnel({"0000CCCC", "COM4", "9600", "8", "1", "None", "elsewhere"}), 1);

  const CommandRun refused = Run({"tunnel", "add", "0000BBBB", "--port", "COM3"});
  ExpectBadInput(refused, "other settings on COM3");
  EXPECT_NE(refused.err.find("0000AAAA"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_EQ(Tunnels().size(), 2u);

  // The same settings need no consent.
  ASSERT_EQ(Run({"tunnel", "add", "0000ABAB", "--port", "com3", "--baud", "9600", "--data-bits", "7", "--stop-bits",
                 "2", "--parity", "even"})
                .exitCode,
            0);

  const CommandRun forced = Run({"tunnel", "add", "0000BBBB", "--port", "COM3", "--force"});
  ASSERT_EQ(forced.exitCode, 0) << forced.err;
  EXPECT_EQ(Tunnels(), (std::vector<TunnelInfo>{{"0000AAAA", "COM3", "115200", "8", "1", "None", "meter"},
                                                {"0000ABAB", "COM3", "115200", "8", "1", "None", ""},
                                                {"0000BBBB", "COM3", "115200", "8", "1", "None", ""},
                                                {"0000CCCC", "COM4", "9600", "8", "1", "None", "elsewhere"}}));

  // Modify follows the same rule; the only device on a port changes freely.
  ExpectBadInput(Run({"tunnel", "modify", "0000BBBB", "--baud", "4800"}), "modify on a shared port");
  EXPECT_EQ(Tunnels()[2].BaudRate, "115200");
  ASSERT_EQ(Run({"tunnel", "modify", "0000CCCC", "--baud", "4800", "--note", "moved"}).exitCode, 0);
  EXPECT_EQ(Tunnels()[3], (TunnelInfo{"0000CCCC", "COM4", "4800", "8", "1", "None", "moved"}));
  ASSERT_EQ(Run({"tunnel", "modify", "0000BBBB", "--port", "COM4", "--force"}).exitCode, 0);
  EXPECT_EQ(Tunnels()[2], (TunnelInfo{"0000BBBB", "COM4", "115200", "8", "1", "None", ""}));
  EXPECT_EQ(Tunnels()[3], (TunnelInfo{"0000CCCC", "COM4", "115200", "8", "1", "None", "moved"}));
}

TEST_F(ManageTest, ForcedChangeIsAllOrNothing) {
  ASSERT_EQ(store.AddTunnel(kOnCom3), 1);
  // The new tunnel's insert fails after the other tunnel on its port was aligned.
  SqliteFile(AppFilePath(DATABASE_FILE_NAME))
      .Exec(
          "CREATE TRIGGER RefuseB BEFORE INSERT ON TunnelInfo WHEN new.DeviceID = '0000BBBB' "
          "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  const CommandRun run = Run({"tunnel", "add", "0000BBBB", "--port", "COM3", "--force"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("0000BBBB"), std::string::npos) << run.err;
  EXPECT_EQ(Tunnels(), std::vector<TunnelInfo>{kOnCom3});
}

TEST_F(ManageTest, ModifyAndDeleteFindAStoredIdInOtherLetterCase) {
  TunnelInfo lower = kOnCom3;
  lower.DeviceID = "0000aaaa";
  ASSERT_EQ(store.AddTunnel(lower), 1);
  ASSERT_EQ(Run({"tunnel", "modify", "0000AAAA", "--note", "found"}).exitCode, 0);
  lower.Note = "found";
  EXPECT_EQ(Tunnels(), std::vector<TunnelInfo>{lower});

  // Two stored IDs differing only in letter case: the exact one is needed.
  TunnelInfo upper = kOnCom3;
  upper.DeviceID = "0000AaAa";
  ASSERT_EQ(store.AddTunnel(upper), 1);
  ExpectBadInput(Run({"tunnel", "delete", "0000AAAA"}), "ambiguous ID");
  const CommandRun deleted = Run({"tunnel", "delete", "0000aaaa"});
  ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
  EXPECT_EQ(Tunnels(), std::vector<TunnelInfo>{upper});
}

TEST_F(ManageTest, UnusableDatabaseExitsOne) {
  store.CloseDatabase();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(AppFilePath(DATABASE_FILE_NAME) + suffix);
  std::filesystem::create_directory(AppFilePath(DATABASE_FILE_NAME));
  const CommandRun run = Run({"tunnel", "list"});
  std::filesystem::remove(AppFilePath(DATABASE_FILE_NAME));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find(DATABASE_FILE_NAME), std::string::npos) << run.err;
}

TEST_F(ManageTest, TunnelListJsonParsesBackWithEveryNote) {
  EXPECT_EQ(Run({"tunnel", "list", "--json"}).out, "[]\n");
  const std::string note = "quote \" backslash \\ tab\t 中文 bad\xff end";
  ASSERT_EQ(Run({"tunnel", "add", "01abcdef", "--port", "COM3", "--note", note}).exitCode, 0);
  ASSERT_EQ(Run({"tunnel", "add", "00000002", "--port", "COM4", "--baud", "9600", "--parity", "Even"}).exitCode, 0);

  const CommandRun list = Run({"tunnel", "list", "--json"});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  const nlohmann::json tunnels = nlohmann::json::parse(list.out);
  ASSERT_EQ(tunnels.size(), 2u) << list.out;
  EXPECT_EQ(tunnels[0]["deviceId"], "00000002");
  EXPECT_EQ(tunnels[0]["baudRate"], "9600");
  EXPECT_EQ(tunnels[0]["parity"], "Even");
  EXPECT_EQ(tunnels[1]["deviceId"], "01ABCDEF");
  EXPECT_EQ(tunnels[1]["port"], "COM3");
  EXPECT_EQ(tunnels[1]["note"], "quote \" backslash \\ tab\t 中文 bad\xEF\xBF\xBD end") << "a stray byte becomes U+FFFD";
}

namespace {

std::vector<TunnelBinding> Bindings(CAccessInterface& store) {
  std::vector<TunnelBinding> bindings;
  EXPECT_EQ(store.LoadBindings(bindings), 1);
  return bindings;
}

}  // namespace

TEST_F(ManageTest, BindSetsOnlyWhatIsGivenAndListAndUnbindAndDeleteFollow) {
  ASSERT_EQ(store.AddTunnel(kOnCom3), 1);
  const CommandRun bound =
      Run({"tunnel", "bind", "0000aaaa", "--phone", " 13800138000 ", "--from", "10.0.0.0/8, 203.0.113.7"});
  ASSERT_EQ(bound.exitCode, 0) << bound.err;
  EXPECT_EQ(Bindings(store), (std::vector<TunnelBinding>{{"0000AAAA", "13800138000", "10.0.0.0/8,203.0.113.7/32"}}));

  const CommandRun listed = Run({"tunnel", "list"});
  EXPECT_NE(listed.out.find("Phone        From"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("13800138000  10.0.0.0/8,203.0.113.7/32  meter"), std::string::npos) << listed.out;
  const nlohmann::json json = nlohmann::json::parse(Run({"tunnel", "list", "--json"}).out);
  EXPECT_EQ(json[0]["phone"], "13800138000");
  EXPECT_EQ(json[0]["from"], "10.0.0.0/8,203.0.113.7/32");

  // Each option changes its own field; "" clears it.
  ASSERT_EQ(Run({"tunnel", "bind", "0000AAAA", "--from", "192.168.1.0/24"}).exitCode, 0);
  EXPECT_EQ(Bindings(store), (std::vector<TunnelBinding>{{"0000AAAA", "13800138000", "192.168.1.0/24"}}));
  ASSERT_EQ(Run({"tunnel", "bind", "0000AAAA", "--phone", ""}).exitCode, 0);
  EXPECT_EQ(Bindings(store), (std::vector<TunnelBinding>{{"0000AAAA", "", "192.168.1.0/24"}}));
  // Nothing left to check: no row.
  ASSERT_EQ(Run({"tunnel", "bind", "0000AAAA", "--from", ""}).exitCode, 0);
  EXPECT_TRUE(Bindings(store).empty());

  ASSERT_EQ(Run({"tunnel", "bind", "0000AAAA", "--phone", "+8613800"}).exitCode, 0);
  const CommandRun unbound = Run({"tunnel", "unbind", "0000AAAA"});
  ASSERT_EQ(unbound.exitCode, 0) << unbound.err;
  EXPECT_TRUE(Bindings(store).empty());
  EXPECT_NE(Run({"tunnel", "list"}).out.find("any    any   meter"), std::string::npos);

  // A deleted tunnel takes its binding with it; a modified one keeps it.
  ASSERT_EQ(Run({"tunnel", "bind", "0000AAAA", "--phone", "1"}).exitCode, 0);
  ASSERT_EQ(Run({"tunnel", "modify", "0000AAAA", "--note", "kept"}).exitCode, 0);
  EXPECT_EQ(Bindings(store).size(), 1u);
  ASSERT_EQ(Run({"tunnel", "delete", "0000AAAA"}).exitCode, 0);
  EXPECT_TRUE(Bindings(store).empty());
  EXPECT_TRUE(Tunnels().empty());
}

TEST_F(ManageTest, BadBindingsExitTwoNameTheEntryAndWriteNothing) {
  ASSERT_EQ(store.AddTunnel(kOnCom3), 1);
  ASSERT_EQ(store.SaveBinding({"0000AAAA", "555", "10.0.0.0/8"}), 1);
  struct Case {
    Args args;
    std::string named;  // what the message must name
  };
  const Case cases[] = {
      {{"tunnel", "bind", "0000AAAA", "--from", "10.0.0.0/8,10.0.0.300"}, "\"10.0.0.300\""},
      {{"tunnel", "bind", "0000AAAA", "--from", "10.1.2.3/8"}, "\"10.1.2.3/8\""},
      {{"tunnel", "bind", "0000AAAA", "--from", "10.0.0.0/33"}, "\"10.0.0.0/33\""},
      {{"tunnel", "bind", "0000AAAA", "--from", "example.com"}, "\"example.com\""},
      {{"tunnel", "bind", "0000AAAA", "--from", "10.0.0.0/8,,1.2.3.4"}, "an empty entry"},
      {{"tunnel", "bind", "0000AAAA", "--phone", "123456789012"}, "at most 11 characters"},
      {{"tunnel", "bind", "0000AAAA", "--phone", "138 0013"}, "\"138 0013\""},
      {{"tunnel", "bind", "0000AAAA"}, "--phone, --from"},
      {{"tunnel", "bind", "0000BBBB", "--phone", "555"}, "no tunnel for device 0000BBBB"},
      {{"tunnel", "bind", "AAAA", "--phone", "555"}, "AAAA"},
      {{"tunnel", "unbind", "0000BBBB"}, "no tunnel for device 0000BBBB"},
  };
  for (const Case& row : cases) {
    const std::string text = ExpectRefusedNaming(row.args, row.named);
    EXPECT_EQ(Bindings(store), (std::vector<TunnelBinding>{{"0000AAAA", "555", "10.0.0.0/8"}})) << text;
  }
}
