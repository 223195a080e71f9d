#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "TempDir.h"

using Bytes = std::vector<unsigned char>;

// The local serial software's end of a pair: a tty opened raw and non-blocking.
class LocalEnd {
 public:
  explicit LocalEnd(const std::string& path);
  ~LocalEnd();
  LocalEnd(const LocalEnd&) = delete;
  LocalEnd& operator=(const LocalEnd&) = delete;

  bool IsOpen() const { return m_fd >= 0; }
  // Writes everything within the bound; false if it could not.
  bool Write(const Bytes& data);
  // Reads until `count` bytes came or the bound passed; returns what came.
  Bytes Read(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(20));

 private:
  int m_fd = -1;
};

// Writes all of `data` to a non-blocking descriptor within 20 s; false if it could not.
// `socket`: the descriptor is a socket (written with send, no SIGPIPE).
bool WriteAllWithin(int fd, const Bytes& data, bool socket);
// Reads from a non-blocking descriptor until `count` bytes came, it ended or the bound
// passed; returns what came.
Bytes ReadUpTo(int fd, std::size_t count, std::chrono::milliseconds bound);

// count bytes of a repeating pattern that starts at `seed`.
Bytes Pattern(std::size_t count, unsigned seed = 0);
Bytes Text(const std::string& text);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to);

// Threads of this process now.
std::size_t ThreadCount();
