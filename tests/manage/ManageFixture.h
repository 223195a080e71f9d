#pragma once

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "ManagementCommands.h"
#include "TestAppDirectory.h"
#include "platform/AppPaths.h"
#include "storage/CAccessInterface.h"

// What one run of a management command gave.
struct CommandRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs the management commands as vantreld would, on a fresh Info.db per test, and reads
// what they stored through a data store of its own.
// Expects a refusal: exit code 2 with a reason on stderr.
inline void ExpectBadInput(const CommandRun& run, const std::string& what) {
  EXPECT_EQ(run.exitCode, 2) << what << "\nstdout: " << run.out;
  EXPECT_FALSE(run.err.empty()) << what;
}

class ManageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(AppFilePath(DATABASE_FILE_NAME) + suffix);
    ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
  }

  // argv after the program name, e.g. {"tunnel", "add", "01ABCDEF", "--port", "COM3"}.
  static CommandRun Run(const std::vector<std::string>& args) {
    CLI::App app{"Vantrel service", "vantreld"};
    app.require_subcommand(1);
    CommandRun run;
    AddManagementCommands(app, run.exitCode);
    std::ostringstream out, err;
    std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
    try {
      app.parse(reversed);
    } catch (const CLI::ParseError& error) {
      // As vantreld: a command line the parser refuses is bad input.
      run.exitCode = 2;
      err << error.what();
    }
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  std::vector<TunnelInfo> Tunnels() {
    std::vector<TunnelInfo> tunnels;
    EXPECT_EQ(store.LoadTunnels(tunnels), 1);
    std::sort(tunnels.begin(), tunnels.end(),
              [](const TunnelInfo& a, const TunnelInfo& b) { return a.DeviceID < b.DeviceID; });
    return tunnels;
  }

  // Runs a command that must be refused with exit 2 and a reason naming `named`; returns
  // the command as text, for the caller's further checks.
  static std::string ExpectRefusedNaming(const std::vector<std::string>& args, const std::string& named) {
    std::string text;
    for (const auto& arg : args) text += arg + " ";
    const CommandRun run = Run(args);
    ExpectBadInput(run, text);
    EXPECT_NE(run.err.find(named), std::string::npos) << text << "\n" << run.err;
    return text;
  }

  SettingInfo Settings() {
    SettingInfo settings;
    store.LoadSettings(settings);
    return settings;
  }

  CAccessInterface store;
};

