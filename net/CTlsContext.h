#pragma once

#include <ctime>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace Sockora {

// The server side of TLS device links: the certificate and key the TLS listener shows,
// and, when a client CA bundle is given, the CAs every client certificate must chain to.
// TLS 1.2 and 1.3 only, no renegotiation, no compression, no session resumption, the
// system's default cipher policy; idle connections give their record buffers back.
// Built once before the listener opens and only read afterwards: any thread.
class CTlsContext {
 public:
  struct Files {
    std::string Certificate;  // PEM: the server certificate, then its chain
    std::string Key;          // PEM: its private key, not encrypted
    std::string ClientCa;     // PEM bundle; empty: no client certificate is asked for
  };

  // Null when a file is missing, cannot be read or parsed, or the key does not belong to
  // the certificate; `failure` then names the file and the reason. Any thread.
  static std::shared_ptr<const CTlsContext> Load(const Files& files, std::string& failure);
  ~CTlsContext();
  CTlsContext(const CTlsContext&) = delete;
  CTlsContext& operator=(const CTlsContext&) = delete;

  // A server-side connection object; null when out of memory.
  SSL* NewConnection() const;
  // Whether every client must show a certificate from the client CA bundle.
  bool RequiresClientCertificate() const { return m_requiresClientCertificate; }
  // The server certificate's end of validity, and the file it came from.
  std::time_t NotAfter() const { return m_notAfter; }
  const std::string& CertificatePath() const { return m_certificatePath; }

 private:
  CTlsContext() = default;

  SSL_CTX* m_context = nullptr;
  bool m_requiresClientCertificate = false;
  std::time_t m_notAfter = 0;
  std::string m_certificatePath;
};

}  // namespace Sockora
