#include "platform/ReplaceFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

int ReplaceFile(const std::string& path, const std::string& content) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return errno;
  struct stat old {};
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  int error = ::fchmod(fd, mode) == 0 ? 0 : errno;
  for (std::size_t done = 0; error == 0 && done < content.size();) {
    const ssize_t put = ::write(fd, content.data() + done, content.size() - done);
    if (put >= 0) {
      done += static_cast<std::size_t>(put);
    } else if (errno != EINTR) {
      error = errno;
    }
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temp.c_str());
  return error;
}
