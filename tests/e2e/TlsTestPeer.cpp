#include "TlsTestPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

std::string QueuedReasons() {
  std::string reasons;
  while (const unsigned long code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    reasons += std::string(reasons.empty() ? "" : ", ") + (reason != nullptr ? reason : "?");
  }
  return reasons;
}

bool ReadExactly(SSL* ssl, unsigned char* buffer, std::size_t length) {
  for (std::size_t done = 0; done < length;) {
    std::size_t got = 0;
    if (SSL_read_ex(ssl, buffer + done, length - done, &got) != 1) return false;
    done += got;
  }
  return true;
}

}  // namespace

TlsTestPeer::TlsTestPeer(Config config) : m_config(std::move(config)) {
  if (!m_config.certificate.empty()) {
    m_context.reset(SSL_CTX_new(TLS_server_method()));
    if (!m_context) return;
    SSL_CTX_set_min_proto_version(m_context.get(), TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(m_context.get(), m_config.certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_context.get(), m_config.key.c_str(), SSL_FILETYPE_PEM) != 1)
      return;
    if (!m_config.clientCa.empty()) {
      if (SSL_CTX_load_verify_locations(m_context.get(), m_config.clientCa.c_str(), nullptr) != 1) return;
      SSL_CTX_set_verify(m_context.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
  }
  m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_listener, SOMAXCONN) != 0 ||
      ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  m_port = ntohs(address.sin_port);
  m_acceptor = std::thread([this] { Accept(); });
}

TlsTestPeer::~TlsTestPeer() {
  m_stop = true;
  if (m_acceptor.joinable()) m_acceptor.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    for (int fd : m_open) ::shutdown(fd, SHUT_RDWR);
    threads.swap(m_threads);
  }
  for (std::thread& thread : threads) thread.join();
  if (m_listener >= 0) ::close(m_listener);
}

std::vector<TlsTestPeer::Connection> TlsTestPeer::Ended() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_ended;
}

void TlsTestPeer::Accept() {
  while (!m_stop) {
    pollfd listening{m_listener, POLLIN, 0};
    if (::poll(&listening, 1, 50) <= 0) continue;
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> hold(m_mutex);
    m_open.push_back(fd);
    m_threads.emplace_back([this, fd] { Serve(fd); });
  }
}

void TlsTestPeer::Serve(int fd) {
  const Connection connection = Session(fd);
  std::lock_guard<std::mutex> hold(m_mutex);
  m_open.erase(std::find(m_open.begin(), m_open.end(), fd));
  m_ended.push_back(connection);
  ::close(fd);
}

TlsTestPeer::Connection TlsTestPeer::Session(int fd) {
  Connection connection;
  if (!m_context) return connection;
  // Blocking calls, each bounded, so a silent client cannot hold the test.
  const timeval bound{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(m_context.get()));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return connection;
  if (SSL_accept(ssl.get()) != 1) {
    connection.failure = QueuedReasons();
    // A close with the device's bytes unread would reset the connection, and the reset could
    // overtake the alert that says why.
    ::shutdown(fd, SHUT_WR);
    for (char sink[4096]; ::recv(fd, sink, sizeof sink, 0) > 0;) {
    }
    return connection;
  }
  if (X509* certificate = SSL_get0_peer_certificate(ssl.get())) {
    char name[256] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
    connection.clientName = name;
  }
  // Lets the device's sends fill the socket buffers, so that its TLS writes have to wait.
  if (m_config.readPause.count() > 0) std::this_thread::sleep_for(m_config.readPause);
  unsigned char buffer[16384];
  if (!ReadExactly(ssl.get(), buffer, 21)) return connection;
  char id[9];
  std::snprintf(id, sizeof id, "%08X",
                static_cast<unsigned>(buffer[0] | buffer[1] << 8 | buffer[2] << 16 | static_cast<unsigned>(buffer[3]) << 24));
  connection.registeredId = id;
  for (std::size_t got = 0; SSL_read_ex(ssl.get(), buffer, sizeof buffer, &got) == 1;) {
    std::size_t written = 0;
    if (SSL_write_ex(ssl.get(), buffer, got, &written) != 1) break;
  }
  ERR_clear_error();
  return connection;
}
