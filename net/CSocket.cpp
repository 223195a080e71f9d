#include "net/CSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/WriteTrace.h"

namespace Sockora {

CSocket::CSocket(int handle) : m_socket(handle) {
  if (handle == InvalidSocket) throw Exception("CSocket::CSocket()", ENOTSOCK);
}

CSocket::~CSocket() {
  if (m_socket == InvalidSocket) return;
  try {
    AbortiveClose();
  } catch (const Exception& error) {
    WriteTrace(error.GetWhere() + " - " + error.GetMessage());
    ::close(m_socket);
  }
}

void CSocket::Close() {
  const int handle = m_socket;
  m_socket = InvalidSocket;
  if (::close(handle) != 0) throw Exception("CSocket::Close()", static_cast<unsigned>(errno));
}

void CSocket::AbortiveClose() {
  const linger option{1, 0};
  if (::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0)
    throw Exception("CSocket::AbortiveClose()", static_cast<unsigned>(errno));
  Close();
}

void CSocket::Bind(const sockaddr_in& address) {
  if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const unsigned error = static_cast<unsigned>(errno);
    WriteTrace("socket 绑定失败");
    throw Exception("CSocket::Bind()", error);
  }
}

void CSocket::Listen(int backlog) {
  if (::listen(m_socket, backlog) != 0)
    throw Exception("CSocket::Listen()", static_cast<unsigned>(errno));
}

int CSocket::Detach() {
  const int handle = m_socket;
  m_socket = InvalidSocket;
  return handle;
}

}  // namespace Sockora
