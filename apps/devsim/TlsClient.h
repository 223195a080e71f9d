#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

// What a TLS device checks and presents; empty fields are not used.
struct TlsClientSettings {
  std::string caFile;      // verify the server against these; empty: no verification
  std::string certFile;    // the device's certificate (with its chain), presented when asked
  std::string keyFile;     // its private key
  std::string serverName;  // the name the server's certificate must carry and the SNI; empty: the host
};

// One device's TLS connection over a non-blocking socket it does not own. Every call goes
// as far as the socket lets it and says whether to wait for the socket and try again.
class CTlsSession {
 public:
  enum class Status { Done, Again, Closed, Failed };
  struct Result {
    Status status;
    std::size_t bytes;  // written or read, also with Again
  };

  // Every method: the simulator's thread.

  // Advances the handshake.
  Result Handshake();
  // Writes as much of the bytes as the socket takes. After Again, the next call must start
  // with the bytes not yet reported written.
  Result Write(const unsigned char* data, std::size_t length);
  // Reads what one TLS record carries, at most `size` bytes.
  Result Read(unsigned char* buffer, std::size_t size);
  // Bytes taken off the socket that a Read has not delivered yet.
  bool Buffered() const { return SSL_has_pending(m_ssl.get()) == 1; }
  // Sends the close notification once, without waiting for the server's.
  void Shutdown();
  // The last call waits for the socket to take bytes (else it waits for bytes to arrive).
  bool WantsWritable() const { return m_handshakeWantsWrite || m_writeWantsWrite || m_readWantsWrite; }
  // Why the last call returned Failed.
  const std::string& Failure() const { return m_failure; }
  // The protocol, the cipher and the server's certificate name, for a line after the handshake.
  std::string Summary() const;

 private:
  friend class CTlsClientContext;
  struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };
  explicit CTlsSession(SSL* ssl) : m_ssl(ssl) {}
  Status Outcome(int returned, bool& wantsWrite, const char* stage);

  std::unique_ptr<SSL, SslFree> m_ssl;
  bool m_handshakeWantsWrite = false;
  bool m_writeWantsWrite = false;
  bool m_readWantsWrite = false;
  std::string m_failure;
};

// The TLS settings every device shares: protocol versions, the CA to verify against, the
// client certificate and key, loaded once.
class CTlsClientContext {
 public:
  // Loads the files. Null with the reason in `error` when a file cannot be used. Main thread.
  static std::unique_ptr<CTlsClientContext> Create(const TlsClientSettings& settings, std::string& error);

  // A session on the connected socket `fd` to `host` (dotted IPv4). Null with the reason in
  // `error` when OpenSSL cannot make one. The simulator's thread.
  std::unique_ptr<CTlsSession> Open(int fd, const std::string& host, std::string& error) const;

 private:
  struct CtxFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  CTlsClientContext(SSL_CTX* context, TlsClientSettings settings)
      : m_context(context), m_settings(std::move(settings)) {}

  std::unique_ptr<SSL_CTX, CtxFree> m_context;
  const TlsClientSettings m_settings;
};
