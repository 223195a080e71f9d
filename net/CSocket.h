#pragma once

#include <netinet/in.h>

#include <string>

#include "platform/CWin32Exception.h"

namespace Sockora {

// Owns one socket handle while a listening socket is being built, so that a failing step
// closes it. Not thread-safe: used by one thread at a time.
class CSocket {
 public:
  // A failed socket call; the code is the errno value.
  class Exception : public Win32::CWin32Exception {
   public:
    Exception(std::string where, unsigned error) : CWin32Exception(std::move(where), error) {}
  };

  static constexpr int InvalidSocket = -1;

  // Throws Exception("CSocket::CSocket()", ENOTSOCK) for an invalid handle.
  explicit CSocket(int handle);
  // Closes a still-owned handle abortively; a failure there is only traced.
  ~CSocket();
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;

  // Throws Exception("CSocket::Close()", errno); the handle is given up either way.
  void Close();
  // Resets instead of closing gracefully. Throws Exception("CSocket::AbortiveClose()",
  // errno) when the linger option cannot be set (the handle is still owned then).
  void AbortiveClose();
  // Traces "socket 绑定失败" and throws Exception("CSocket::Bind()", errno) on failure.
  void Bind(const sockaddr_in& address);
  // Throws Exception("CSocket::Listen()", errno).
  void Listen(int backlog);
  // Gives up ownership and returns the handle.
  int Detach();

 private:
  int m_socket;
};

}  // namespace Sockora
