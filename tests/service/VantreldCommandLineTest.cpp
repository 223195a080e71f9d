// vantreld's command line as its users meet it: the help of each command, the synopsis in
// the README, what it refuses and what scripts read, through the program itself.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "Vantreld.h"

namespace {

// One entry of a synopsis: its command path ("vantreld tunnel add") and every option it names.
struct Entry {
  std::string path;
  std::set<std::string> options;
};

std::set<std::string> OptionsIn(const std::string& text) {
  std::set<std::string> options;
  const std::regex option("--[a-z][a-z0-9-]*");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
    options.insert(it->str());
  return options;
}

// The entries of lines that start with `indent` + "vantreld ", each with the more deeply
// indented lines that follow it.
std::vector<Entry> Entries(const std::string& text, const std::string& indent) {
  std::vector<Entry> entries;
  std::string body;
  const auto finish = [&] {
    if (body.empty()) return;
    // The path is the leading words in lower case: what follows (DEVICE-ID, [--json]) is not.
    std::istringstream words(body);
    std::string path;
    for (std::string word; words >> word && std::islower(static_cast<unsigned char>(word[0])) != 0 &&
                           std::none_of(word.begin(), word.end(), [](char c) { return std::isupper(c) != 0; });)
      path += (path.empty() ? "" : " ") + word;
    entries.push_back({path, OptionsIn(body)});
    body.clear();
  };
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(indent + "vantreld ", 0) == 0) {
      finish();
      body = line.substr(indent.size());
    } else if (!body.empty() && line.rfind(indent + " ", 0) == 0 && line.find_first_not_of(' ') > indent.size()) {
      body += " " + line;
    } else {
      finish();
    }
  }
  finish();
  return entries;
}

std::string ReadmeCommands() {
  const std::string readme = ReadFile(VANTREL_SOURCE_DIR "/README.md");
  const std::size_t start = readme.find("\n## Commands\n");
  if (start == std::string::npos) return {};
  return readme.substr(start, readme.find("\n## ", start + 1) - start);
}

// vantreld with a fresh application directory, each run's output on its own.
class VantreldCommandLine : public ::testing::Test {
 protected:
  struct Result {
    int code;
    std::string out;
    std::string err;
  };

  Result Run(const std::string& arguments) {
    const std::size_t out = vantreld.Output().size(), err = vantreld.Errors().size();
    const int code = vantreld.Run(arguments);
    return {code, vantreld.Output().substr(out), vantreld.Errors().substr(err)};
  }

  TempDir dir;
  Vantreld vantreld{dir.Path()};
};

}  // namespace

TEST_F(VantreldCommandLine, EachHelpListsItsOwnCommandsAndTheMainHelpEveryOne) {
  const Result main = Run("--help");
  ASSERT_EQ(main.code, 0) << main.err;
  const std::vector<Entry> all = Entries(main.out, "  ");
  std::vector<std::string> fromGroups;
  for (const std::string group : {"tunnel", "settings", "nottrans"}) {
    SCOPED_TRACE(group);
    const Result help = Run(group + " --help");
    ASSERT_EQ(help.code, 0) << help.err;
    const std::vector<Entry> own = Entries(help.out, "  ");
    EXPECT_FALSE(own.empty()) << help.out;
    for (const Entry& entry : own) {
      EXPECT_EQ(entry.path.rfind("vantreld " + group + " ", 0), 0u) << entry.path << " in\n" << help.out;
      fromGroups.push_back(entry.path);
      const auto inMain = std::find_if(all.begin(), all.end(), [&](const Entry& e) { return e.path == entry.path; });
      ASSERT_NE(inMain, all.end()) << entry.path << " is missing from the main help:\n" << main.out;
      EXPECT_EQ(inMain->options, entry.options) << entry.path;
    }
  }
  // A command without commands of its own ("vantreld status") is in the main help alone.
  const auto single = std::count_if(all.begin(), all.end(), [](const Entry& entry) {
    return entry.path.find(' ', std::string("vantreld ").size()) == std::string::npos;
  });
  EXPECT_EQ(fromGroups.size() + static_cast<std::size_t>(single), all.size()) << main.out;
  // Every option a command takes is in its entry.
  for (const Entry& entry : all) {
    const Result help = Run(entry.path.substr(std::string("vantreld ").size()) + " --help");
    std::set<std::string> options = OptionsIn(help.out.substr(help.out.find("Options:")));
    options.erase("--help");
    EXPECT_EQ(options, entry.options) << help.out;
  }
  const Result add = Run("tunnel add --help");
  EXPECT_TRUE(std::regex_search(add.out, std::regex("\n  device-id +REQUIRED"))) << add.out;
  EXPECT_NE(main.out.find("  vantreld tunnel add DEVICE-ID --port COMn ["), std::string::npos) << main.out;
}

TEST_F(VantreldCommandLine, TheReadmeSynopsisNamesEveryCommandWithEveryOption) {
  const std::string readme = ReadmeCommands();
  ASSERT_FALSE(readme.empty()) << "README.md has no Commands section";
  const std::vector<Entry> documented = Entries(readme, "    ");
  const Result main = Run("--help");
  for (const Entry& entry : Entries(main.out, "  ")) {
    const auto found = std::find_if(documented.begin(), documented.end(),
                                    [&](const Entry& e) { return e.path == entry.path; });
    ASSERT_NE(found, documented.end()) << entry.path << " is missing from the README's synopsis";
    EXPECT_EQ(found->options, entry.options) << entry.path;
  }
  // The options of the program itself (running the service, --signal, --version, ...).
  std::set<std::string> own = OptionsIn(main.out.substr(0, main.out.find("Subcommands:")));
  own.erase("--help");
  for (const std::string& option : own) EXPECT_NE(readme.find(option), std::string::npos) << option;
}

TEST_F(VantreldCommandLine, SettingsShowJsonHelpNamesEveryFieldItPrints) {
  const Result json = Run("settings show --json");
  ASSERT_EQ(json.code, 0) << json.err;
  const Result help = Run("settings show --help");
  const nlohmann::json fields = nlohmann::json::parse(json.out);
  ASSERT_FALSE(fields.empty());
  for (const auto& [key, value] : fields.items())
    EXPECT_NE(help.out.find(key), std::string::npos) << key << " is missing from:\n" << help.out;
}

TEST_F(VantreldCommandLine, ContradictoryOrIncompleteCommandsExitTwoWithTheReason) {
  for (const char* command : {"nottrans query --json --hex", "nottrans query --csv --json", "nottrans query --csv --hex",
                              "tunnel list --json --csv", "tunnel add --port COM1", "tunnel add 00000001",
                              "tunnel delete", "nottrans delete", "nottrans delete-all"}) {
    const Result run = Run(command);
    EXPECT_EQ(run.code, 2) << command << "\n" << run.out;
    EXPECT_NE(run.err.find("vantreld: "), std::string::npos) << command;
    EXPECT_EQ(run.out, "") << command;
  }
}

TEST_F(VantreldCommandLine, TunnelListCsvHasAHeaderAndEachTunnelQuotedWhereNeeded) {
  ASSERT_EQ(Run("tunnel add 00000002 --port COM4 --note a,\"b\"").code, 0);
  ASSERT_EQ(Run("tunnel add 00000001 --port COM3 --baud 9600 --parity Even").code, 0);
  const Result csv = Run("tunnel list --csv");
  ASSERT_EQ(csv.code, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "deviceId,port,baudRate,dataBits,parity,stopBits,note,phone,from\n"
            "00000001,COM3,9600,8,Even,1,,,\n"
            "00000002,COM4,115200,8,None,1,\"a,\"\"b\"\"\",,\n");
  ASSERT_EQ(Run("tunnel delete 00000001").code, 0);
  ASSERT_EQ(Run("tunnel delete 00000002").code, 0);
  EXPECT_EQ(Run("tunnel list --csv").out, "deviceId,port,baudRate,dataBits,parity,stopBits,note,phone,from\n");
}
