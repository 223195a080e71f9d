#include "CommandSynopsis.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

namespace {

constexpr std::size_t kWidth = 100;

bool Shown(const CLI::App& command, const CLI::Option* option) {
  return option != command.get_help_ptr() && !option->get_group().empty();
}

bool IsFlag(const CLI::Option* option) { return option->get_expected_min() == 0; }

std::string Bracketed(const CLI::Option* option, std::string text) {
  return option->get_required() ? text : "[" + text + "]";
}

// "--port COMn" for an option that takes a value, "--yes" for a flag.
std::string OptionText(const CLI::Option* option) {
  std::string text = option->get_name();
  if (!IsFlag(option) && !option->get_type_name().empty()) text += " " + option->get_type_name();
  return text;
}

std::string PositionalText(const CLI::Option* option) {
  std::string name = option->get_name(true);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
  return Bracketed(option, name);
}

// The words after the command's path: positionals, then the options in their order.
std::vector<std::string> Words(const CLI::App& command) {
  std::vector<std::string> words;
  const auto options = command.get_options([&](const CLI::Option* option) { return Shown(command, option); });
  for (const CLI::Option* option : options) {
    if (!option->nonpositional()) words.push_back(PositionalText(option));
  }
  std::set<const CLI::Option*> done;
  for (const CLI::Option* option : options) {
    if (!option->nonpositional() || done.count(option) != 0) continue;
    done.insert(option);
    const std::set<CLI::Option*> excludes = option->get_excludes();
    const std::set<const CLI::Option*> excluded(excludes.begin(), excludes.end());
    const bool choice = IsFlag(option) && !excluded.empty() &&
                        std::all_of(excluded.begin(), excluded.end(), [](const CLI::Option* other) { return IsFlag(other); });
    if (!choice) {
      words.push_back(Bracketed(option, OptionText(option)));
      continue;
    }
    std::string text = option->get_name();
    for (const CLI::Option* other : options) {
      if (excluded.count(other) == 0) continue;
      text += " | " + other->get_name();
      done.insert(other);
    }
    words.push_back("[" + text + "]");
  }
  return words;
}

std::string PathOf(const CLI::App& command) {
  const CLI::App* parent = command.get_parent();
  return parent == nullptr ? command.get_name() : PathOf(*parent) + " " + command.get_name();
}

void AddEntry(const CLI::App& command, std::string& synopsis) {
  std::string line = "  " + PathOf(command);
  const std::string indent(line.size() + 1, ' ');
  for (const std::string& word : Words(command)) {
    if (line.size() + 1 + word.size() > kWidth && line.size() > indent.size()) {
      synopsis += line + "\n";
      line = indent + word;
    } else {
      line += " " + word;
    }
  }
  synopsis += line + "\n";
}

void AddEntries(const CLI::App& command, std::string& synopsis) {
  const auto commands = command.get_subcommands([](const CLI::App*) { return true; });
  if (commands.empty()) {
    AddEntry(command, synopsis);
    return;
  }
  for (const CLI::App* sub : commands) AddEntries(*sub, synopsis);
}

void SetFooters(CLI::App& command) {
  for (CLI::App* sub : command.get_subcommands([](CLI::App*) { return true; })) {
    const bool group = !sub->get_subcommands([](CLI::App*) { return true; }).empty();
    sub->footer(group ? "Commands:\n" + CommandSynopsis(*sub) : std::string());
    SetFooters(*sub);
  }
}

}  // namespace

std::string CommandSynopsis(const CLI::App& command) {
  std::string synopsis;
  AddEntries(command, synopsis);
  return synopsis;
}

void SetCommandFooters(CLI::App& app, const std::string& appendix) {
  app.footer("Commands (each has --help):\n" + CommandSynopsis(app) + "\n" + appendix);
  SetFooters(app);
}
