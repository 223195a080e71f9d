#include "platform/CPairRecord.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const char kPrefix[] = ".setupc-";
const char kSuffix[] = ".pair";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// False (errno set) when the link leads there and stays.
bool UnlinkIfLeadsTo(const std::string& link, const std::string& end) {
  std::error_code error;
  if (end.empty() || std::filesystem::read_symlink(link, error) != end || error) return true;
  return ::unlink(link.c_str()) == 0 || errno == ENOENT;
}

// Gives the file `from` the first free name of stem + ("", "-1", "-2", ...) + suffix and
// returns it, or empty (errno set). A record there already is one of a gone holder that
// had the same process number and whose links could not be removed: it stays, so that
// its links stay known as a dead pair's.
std::string LinkToFreeName(const std::string& from, const std::string& stem) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string to = stem;
    if (attempt > 0) to.append(1, '-').append(std::to_string(attempt));
    to += kSuffix;
    if (::link(from.c_str(), to.c_str()) == 0) return to;
    if (errno != EEXIST) return {};
  }
  return {};
}

}  // namespace

std::vector<CPairRecord> CPairRecord::Scan(const std::string& directory) {
  std::vector<CPairRecord> records;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind(kPrefix, 0) != 0 || !EndsWith(file, kSuffix)) continue;
    std::ifstream in(entry.path());
    CPairRecord record;
    std::string word;
    if (in >> word >> record.pid >> record.nameA >> record.pathA >> record.nameB >> record.pathB && word == "pid") {
      // Records of older versions end here: their ends keep the pty's own access.
      Access a, b;
      if (in >> word && word == "access" && in >> std::oct >> a.mode >> a.group >> b.mode >> b.group) {
        for (Access* access : {&a, &b})
          if (access->group == "-") access->group.clear();
        record.accessA = a;
        record.accessB = b;
      }
      record.m_file = entry.path().string();
      record.m_directory = directory;
      records.push_back(record);
    }
  }
  std::sort(records.begin(), records.end(),
            [](const CPairRecord& a, const CPairRecord& b) { return a.nameA < b.nameA; });
  return records;
}

int CPairRecord::Publish(const std::string& directory) {
  m_directory = directory;
  const std::string stem = directory + "/" + kPrefix + std::to_string(pid);
  const std::string temporary = stem + ".new";
  m_file.clear();
  // Written under a name nobody scans, then given its own: a reader never sees the
  // record before its lock is taken or its text complete.
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  std::ostringstream text;
  text << "pid " << pid << "\n" << nameA << " " << pathA << "\n" << nameB << " " << pathB << "\n";
  text << "access " << std::oct << accessA.mode << " " << (accessA.group.empty() ? "-" : accessA.group) << " "
       << accessB.mode << " " << (accessB.group.empty() ? "-" : accessB.group) << "\n";
  // Readable by everyone whatever the umask: a service running as another user must
  // find the record to refuse the links of a gone holder.
  if (::fchmod(fd, 0644) == 0 && ::flock(fd, LOCK_EX) == 0 && WriteAll(fd, text.str()))
    m_file = LinkToFreeName(temporary, stem);
  const int saved = errno;
  ::unlink(temporary.c_str());
  if (m_file.empty()) {
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool CPairRecord::Withdraw() const {
  return m_file.empty() || ::unlink(m_file.c_str()) == 0 || errno == ENOENT;
}

bool CPairRecord::HolderAlive() const {
  const int fd = ::open(m_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;
  // Taking the lock succeeds only when nobody holds it; any failure counts as alive.
  const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
  ::close(fd);
  return !free;
}

bool CPairRecord::RemoveStale() const {
  // The links go first: a record without links would leave them looking like a user's.
  return UnlinkIfLeadsTo(m_directory + "/" + nameA, pathA) && UnlinkIfLeadsTo(m_directory + "/" + nameB, pathB) &&
         Withdraw();
}

bool CPairRecord::IsOrphanedEnd(const std::string& directory, const std::string& name) {
  std::error_code error;
  const std::string end = std::filesystem::read_symlink(directory + "/" + name, error).string();
  if (error) return false;
  bool orphaned = false;
  // Another record may name the same link and pty when a new holder got them again.
  for (const auto& record : Scan(directory)) {
    if (!((record.nameA == name && record.pathA == end) || (record.nameB == name && record.pathB == end))) continue;
    if (record.HolderAlive()) return false;
    orphaned = true;
  }
  return orphaned;
}
