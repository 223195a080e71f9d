#include "platform/JournalStream.h"

#include <sys/stat.h>

#include <cstdlib>

namespace {

// Whether the descriptor is the stream JOURNAL_STREAM ("device:inode") names.
bool IsJournal(int descriptor) {
  const char* named = std::getenv("JOURNAL_STREAM");
  struct stat status {};
  if (named == nullptr || fstat(descriptor, &status) != 0) return false;
  unsigned long long device = 0, inode = 0;
  char end = 0;
  if (std::sscanf(named, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
  return status.st_dev == device && status.st_ino == inode;
}

}  // namespace

std::string ForJournal(std::FILE* stream, LinePriority priority, std::string_view text) {
  // Looked at once: the program does not move its standard streams.
  static const bool outIsJournal = IsJournal(1);
  static const bool errIsJournal = IsJournal(2);
  const int descriptor = fileno(stream);
  if (!(descriptor == 1 ? outIsJournal : descriptor == 2 ? errIsJournal : IsJournal(descriptor)))
    return std::string(text);
  const std::string prefix = "<" + std::to_string(static_cast<int>(priority)) + ">";
  std::string out;
  out.reserve(text.size() + prefix.size());
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    out += prefix;
    out.append(text.substr(start, next - start));
    start = next;
  }
  return out;
}
