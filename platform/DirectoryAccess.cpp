#include "platform/DirectoryAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// `directory` itself when it exists, else the nearest folder above it that does (one this
// process cannot see counts as missing: its parent tells why).
std::filesystem::path NearestExisting(const std::string& directory) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(directory, error).lexically_normal();
  while (!std::filesystem::exists(path, error) && path.has_parent_path() && path.parent_path() != path)
    path = path.parent_path();
  return path;
}

std::string UserName(uid_t uid) {
  const passwd* user = ::getpwuid(uid);
  return user != nullptr ? user->pw_name : "id " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return entry != nullptr ? entry->gr_name : "id " + std::to_string(gid);
}

}  // namespace

std::string DirectoryAccessProblem(const std::string& directory) {
  const std::filesystem::path path = NearestExisting(directory);
  if (::access(path.c_str(), R_OK | X_OK) == 0 || errno != EACCES) return {};
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return "permission denied: the folder " + path.string() + " cannot be read";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  const std::string group = GroupName(info.st_gid);
  std::string problem = "permission denied: the folder " + path.string() + " belongs to user " +
                        UserName(info.st_uid) + " and group " + group + " (mode " + mode + "); ";
  if ((info.st_mode & (S_IRGRP | S_IXGRP)) == (S_IRGRP | S_IXGRP))
    return problem + "join the group " + group + " (as root: adduser " + UserName(::getuid()) + " " + group +
           ", then log in again) or run as root";
  return problem + "only that user or root may use it";
}

bool ActAsOwnerOf(const std::string& directory, std::string& problem) {
  if (::geteuid() != 0) return true;
  const std::filesystem::path path = NearestExisting(directory);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || info.st_uid == 0) return true;
  const passwd* owner = ::getpwuid(info.st_uid);
  if (owner == nullptr) {
    problem = "the folder " + path.string() + " belongs to user id " + std::to_string(info.st_uid) +
              ", which has no entry in the user database; run as that user";
    return false;
  }
  const std::string name = owner->pw_name;
  const uid_t uid = owner->pw_uid;
  const gid_t gid = owner->pw_gid;
  // Groups first: once the user is taken on, they could no longer be set.
  if (::initgroups(name.c_str(), gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
    problem = "cannot act as the user " + name + ", the owner of " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool SetUpApplicationDirectory(AppRole role, const std::string& chosen, UsedFolder folder, std::string& problem) {
  if (!SettleApplicationDirectory(role, chosen, problem)) return false;
  const std::string used = folder == UsedFolder::Ports ? PortDirectory() : ApplicationDirectory();
  if (role == AppRole::Service && !ActAsOwnerOf(used, problem)) return false;
  problem = DirectoryAccessProblem(used);
  std::error_code error;
  // The port directory is made when missing; the application directory is not.
  if (problem.empty() && folder == UsedFolder::Application && !std::filesystem::is_directory(used, error))
    problem = "the application directory " + used + " does not exist";
  return problem.empty();
}
