#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include "CPairDaemon.h"
#include "platform/CPairRecord.h"
#include "SetupcOptions.h"
#include "platform/AppPaths.h"

namespace {

constexpr auto kStopBound = std::chrono::seconds(10);

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

int Failed(const std::string& message, int error) {
  std::cerr << "setupc: " << message << ": " << std::strerror(error) << "\n";
  return 1;
}

int BadInput(const std::string& message) {
  std::cerr << "setupc: " << message << "\n";
  return 2;
}

std::string Shown(const CPairRecord& record) {
  return record.nameA + " (" + record.pathA + ") <-> " + record.nameB + " (" + record.pathB + ")";
}

// Pairs whose holder is gone (killed, or the machine restarted) give their names back.
void RemoveStalePairs(const std::string& directory) {
  for (const auto& record : CPairRecord::Scan(directory)) {
    if (record.HolderAlive()) continue;
    if (record.RemoveStale())
      std::cout << "Removed the stale pair " << record.nameA << " <-> " << record.nameB << "\n";
    else
      std::cerr << "setupc: cannot remove the stale pair " << record.nameA << " <-> " << record.nameB << ": "
                << std::strerror(errno) << "\n";
  }
}

// The entry that takes `name` in the directory, letter case ignored as port names are
// compared everywhere; empty when the name is free. A dangling link still takes it.
std::string EntryTaking(const std::string& directory, const std::string& name) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string file = entry.path().filename().string();
    if (Upper(file) == name) return file;
  }
  return {};
}

int Install(const std::string& directory, const std::string& nameA, const std::string& nameB) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) return Failed("cannot create the port directory " + directory, error.value());
  RemoveStalePairs(directory);
  for (const auto& name : {nameA, nameB}) {
    const std::string taken = EntryTaking(directory, name);
    if (!taken.empty()) return BadInput(name + " is already in use (" + directory + "/" + taken + " exists)");
  }
  const CPairDaemon::Result result = CPairDaemon::Launch(directory, nameA, nameB);
  if (result.error == EEXIST) return BadInput(nameA + " or " + nameB + " was taken meanwhile; nothing was created");
  if (result.error != 0) return Failed(result.message, result.error);
  std::cout << "Installed " << nameA << " (" << result.pathA << ") <-> " << nameB << " (" << result.pathB << ") in "
            << directory << "\n";
  return 0;
}

int Remove(const std::string& directory, const std::string& name) {
  for (const auto& record : CPairRecord::Scan(directory)) {
    if (!record.Has(name)) continue;
    const bool stale = !record.HolderAlive();
    const int error = CPairDaemon::Stop(record, kStopBound);
    if (error != 0) return Failed("cannot remove the pair " + record.nameA + " <-> " + record.nameB, error);
    std::cout << "Removed " << (stale ? "the stale pair " : "") << record.nameA << " <-> " << record.nameB << "\n";
    return 0;
  }
  const std::string taken = EntryTaking(directory, name);
  if (!taken.empty()) return BadInput(directory + "/" + taken + " was not made by setupc; it is left alone");
  return BadInput("no pair has an end named " + name + " in " + directory);
}

int List(const std::string& directory) {
  const std::vector<CPairRecord> records = CPairRecord::Scan(directory);
  for (const auto& record : records) {
    if (record.HolderAlive())
      std::cout << Shown(record) << ", held by process " << record.pid << "\n";
    else
      std::cout << Shown(record) << ": stale, its background process " << record.pid
                << " is gone and Vantrel does not open its ports; remove it with setupc remove PortName="
                << record.nameA << " or install the names again\n";
  }
  if (records.empty()) std::cout << "No pairs in " << directory << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetupcOptions options;
  const int parsed = ParseSetupcOptions(argc, argv, options);
  if (parsed >= 0) return parsed;
  // Absolute: the holder leaves the working directory.
  std::error_code error;
  const std::string directory = std::filesystem::absolute(PortDirectory(), error).lexically_normal().string();
  if (error) return Failed("cannot resolve the port directory " + PortDirectory(), error.value());
  switch (options.command) {
    case SetupcOptions::Command::Install:
      return Install(directory, options.names[0], options.names[1]);
    case SetupcOptions::Command::Remove:
      return Remove(directory, options.names[0]);
    case SetupcOptions::Command::List:
      return List(directory);
  }
  return 1;
}
