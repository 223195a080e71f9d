#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>


// A TLS peer for the device simulator on 127.0.0.1: each connection gets a thread that
// completes the handshake, reads the 21-byte registration and echoes the bytes after it.
// Without a certificate it is a plain socket that closes every connection at once.
class TlsTestPeer {
 public:
  struct Config {
    std::string certificate, key;  // empty: no TLS
    std::string clientCa;          // when set, a client certificate is required
    std::chrono::milliseconds readPause{0};  // how long it leaves the registration's bytes unread
  };
  struct Connection {
    std::string registeredId;  // empty: no registration arrived
    std::string clientName;    // the client certificate's CN, empty without one
    std::string failure;       // why the handshake failed, empty when it did not
  };

  // Listens at once; Port() is 0 when it could not. Owner's thread.
  explicit TlsTestPeer(Config config);
  // Stops accepting, ends every connection and joins its threads. Owner's thread.
  ~TlsTestPeer();
  TlsTestPeer(const TlsTestPeer&) = delete;
  TlsTestPeer& operator=(const TlsTestPeer&) = delete;

  std::uint16_t Port() const { return m_port; }
  // What the connections that ended showed so far. Any thread.
  std::vector<Connection> Ended() const;

 private:
  struct CtxFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  void Accept();
  void Serve(int fd);
  Connection Session(int fd);

  const Config m_config;
  std::unique_ptr<SSL_CTX, CtxFree> m_context;
  int m_listener = -1;
  std::uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  std::vector<int> m_open;  // sockets of live connections, shut down on stop
  std::vector<Connection> m_ended;
  std::vector<std::thread> m_threads;
  std::thread m_acceptor;
};
