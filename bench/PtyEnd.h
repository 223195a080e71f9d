#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

// Opens a tty as the local serial software would: raw, non-blocking. -1 on failure.
inline int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios line{};
  if (fd >= 0 && ::tcgetattr(fd, &line) == 0) {
    ::cfmakeraw(&line);
    ::tcsetattr(fd, TCSANOW, &line);
  }
  return fd;
}
