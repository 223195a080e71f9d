#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/CNullModemPair.h"

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

// One pty: the forwarder opens the slave as its port, the bench reads and writes the
// master. The bench keeps a raw slave descriptor open so that the line stays raw and
// never hangs up between the forwarder's opens.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string slavePath;
  bool ready = CNullModemPair::OpenEnd(master, slave, slavePath);

  Pty() = default;
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
};
