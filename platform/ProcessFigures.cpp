#include "platform/ProcessFigures.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::optional<std::uint64_t> Number(const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Since Linux 6.2 the size of /proc/self/fd is the number of open descriptors, which spares
// a pass over ten thousand entries with as many devices; before, the entries are counted
// (but the one the count itself opens).
std::optional<std::uint64_t> CountOpenDescriptors() {
  struct stat info {};
  if (stat("/proc/self/fd", &info) == 0 && info.st_size > 0) return static_cast<std::uint64_t>(info.st_size);
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return std::nullopt;
  std::uint64_t count = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count == 0 ? 0 : count - 1;
}

// The system's boot time in seconds since the epoch ("btime" of /proc/stat).
std::optional<double> BootTime() {
  std::ifstream stat("/proc/stat");
  std::string key;
  double value = 0;
  while (stat >> key) {
    if (key == "btime" && stat >> value) return value;
    stat.ignore(1 << 20, '\n');
  }
  return std::nullopt;
}

// Threads, virtual size and start time from /proc/self/stat. The command name (field 2)
// may hold blanks and parentheses, so the fields are counted from its closing one.
void ReadStat(ProcessFigures& figures) {
  std::ifstream file("/proc/self/stat");
  std::string line;
  if (!std::getline(file, line)) return;
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  // Field 3 (state) is the first after the name; threads are field 20, start time 22
  // (clock ticks after boot), virtual size 23.
  for (int number = 3; fields >> field; ++number) {
    if (number == 20) figures.Threads = Number(field);
    if (number == 22) {
      const long ticks = sysconf(_SC_CLK_TCK);
      const std::optional<std::uint64_t> started = Number(field);
      const std::optional<double> boot = BootTime();
      if (ticks > 0 && started && boot)
        figures.StartTimeSeconds = *boot + static_cast<double>(*started) / static_cast<double>(ticks);
    }
    if (number == 23) {
      figures.VirtualBytes = Number(field);
      return;
    }
  }
}

}  // namespace

ProcessFigures ReadProcessFigures() {
  ProcessFigures figures;
  ReadStat(figures);
  {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    const long page = sysconf(_SC_PAGESIZE);
    if (statm >> size >> resident && page > 0) figures.ResidentBytes = resident * static_cast<std::uint64_t>(page);
  }
  figures.OpenDescriptors = CountOpenDescriptors();
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) figures.MaxDescriptors = limit.rlim_cur;
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    const auto seconds = [](const timeval& time) {
      return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    figures.CpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  return figures;
}
