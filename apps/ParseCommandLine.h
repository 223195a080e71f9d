#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

// Parses a program's command line into `app`. Nothing when the program goes on; else its
// exit code: 0 once --help or --version is printed, the code of a CLI::RuntimeError that a
// callback threw (having said why), or what `badInput` returns for the message of a
// command line that does not parse. The program's main thread.
template <typename BadInput>
std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv, BadInput badInput) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::RuntimeError& failed) {
    return failed.get_exit_code();
  } catch (const CLI::ParseError& error) {
    return badInput(std::string(error.what()));
  }
  return std::nullopt;
}
