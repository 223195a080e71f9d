#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include "CPairDaemon.h"
#include "platform/CPairRecord.h"
#include "SetupcOptions.h"
#include "platform/AppPaths.h"
#include "platform/DirectoryAccess.h"

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

constexpr unsigned kSharedMode = 0660;
constexpr const char* kSerialGroup = "dialout";

// The group serial software runs in, when it exists and this process may give it to a
// pty (root, or a member); empty otherwise.
std::string DefaultGroup() {
  const group* entry = ::getgrnam(kSerialGroup);
  if (entry == nullptr) return {};
  if (::geteuid() == 0 || ::getegid() == entry->gr_gid) return kSerialGroup;
  const int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
  if (count > 0 && ::getgroups(count, groups.data()) == count &&
      std::find(groups.begin(), groups.end(), entry->gr_gid) != groups.end())
    return kSerialGroup;
  return {};
}

// An end's access: what its argument asked for, else the serial group with 0660 where
// there is one, else the pty's own (owner only).
CPairRecord::Access AccessOf(const SetupcOptions::EndAccess& asked, const std::string& defaultGroup) {
  CPairRecord::Access access;
  access.group = asked.group.value_or(defaultGroup);
  access.mode = asked.mode.value_or(access.group.empty() ? 0 : kSharedMode);
  return access;
}

std::string AccessText(const CPairRecord::Access& access) {
  if (access.mode == 0 && access.group.empty()) return "";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", access.mode);
  return std::string(", ") + (access.mode != 0 ? std::string("mode ") + mode : "") +
         (access.mode != 0 && !access.group.empty() ? " " : "") +
         (access.group.empty() ? "" : "group " + access.group);
}

std::string Shown(const CPairRecord& record) {
  return record.nameA + " (" + record.pathA + ") <-> " + record.nameB + " (" + record.pathB + ")";
}

// The access of each end that has one asked, after the pair's line.
std::string AccessNote(const CPairRecord& record) {
  std::string note;
  if (const std::string a = AccessText(record.accessA); !a.empty()) note += "; " + record.nameA + a.substr(1);
  if (const std::string b = AccessText(record.accessB); !b.empty()) note += "; " + record.nameB + b.substr(1);
  return note;
}

int Launched(const CPairDaemon::Result& result, const std::string& nameA, const std::string& nameB) {
  if (result.error == EEXIST) return BadInput(nameA + " or " + nameB + " was taken meanwhile; nothing was created");
  if (result.error != 0) return Failed(result.message, result.error);
  return 0;
}

int Install(const std::string& directory, const std::string& nameA, const CPairRecord::Access& accessA,
            const std::string& nameB, const CPairRecord::Access& accessB) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) return Failed("cannot create the port directory " + directory, error.value());
  RemoveStalePairs(directory);
  for (const auto& name : {nameA, nameB}) {
    const std::string taken = EntryTaking(directory, name);
    if (!taken.empty()) return BadInput(name + " is already in use (" + directory + "/" + taken + " exists)");
  }
  const CPairDaemon::Result result = CPairDaemon::Launch(directory, nameA, accessA, nameB, accessB);
  if (const int code = Launched(result, nameA, nameB); code != 0) return code;
  std::cout << "Installed " << nameA << " (" << result.pathA << AccessText(accessA) << ") <-> " << nameB << " ("
            << result.pathB << AccessText(accessB) << ") in " << directory << "\n";
  return 0;
}

// After a reboot (or a killed holder) the records stay: each is made again as it was.
int Restore(const std::string& directory) {
  int code = 0;
  int restored = 0;
  for (const auto& record : CPairRecord::Scan(directory)) {
    if (record.HolderAlive()) continue;
    if (!record.RemoveStale()) {
      code = Failed("cannot remove the stale pair " + record.nameA + " <-> " + record.nameB, errno);
      continue;
    }
    const CPairDaemon::Result result =
        CPairDaemon::Launch(directory, record.nameA, record.accessA, record.nameB, record.accessB);
    if (const int failed = Launched(result, record.nameA, record.nameB); failed != 0) {
      code = std::max(code, failed);
      continue;
    }
    ++restored;
    std::cout << "Restored " << record.nameA << " (" << result.pathA << AccessText(record.accessA) << ") <-> "
              << record.nameB << " (" << result.pathB << AccessText(record.accessB) << ")\n";
  }
  if (restored == 0 && code == 0) std::cout << "No pair to restore in " << directory << "\n";
  return code;
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
      std::cout << Shown(record) << ", held by process " << record.pid << AccessNote(record) << "\n";
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
  if (std::string problem;
      !SetUpApplicationDirectory(AppRole::Service, options.appDir, UsedFolder::Ports, problem)) {
    std::cerr << "setupc: " << problem << "\n";
    return 1;
  }
  // Absolute: the holder leaves the working directory.
  std::error_code error;
  const std::string directory = std::filesystem::absolute(PortDirectory(), error).lexically_normal().string();
  if (error) return Failed("cannot resolve the port directory " + PortDirectory(), error.value());
  switch (options.command) {
    case SetupcOptions::Command::Install: {
      for (const auto& access : options.access)
        if (access.group && ::getgrnam(access.group->c_str()) == nullptr)
          return BadInput("there is no group named " + *access.group);
      const std::string group = DefaultGroup();
      return Install(directory, options.names[0], AccessOf(options.access[0], group), options.names[1],
                     AccessOf(options.access[1], group));
    }
    case SetupcOptions::Command::Restore:
      return Restore(directory);
    case SetupcOptions::Command::Remove:
      return Remove(directory, options.names[0]);
    case SetupcOptions::Command::List:
      return List(directory);
  }
  return 1;
}
