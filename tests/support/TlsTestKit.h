#pragma once

// Certificates made with the OpenSSL API for a test's own small CAs, and a TLS device: a
// blocking client connection to 127.0.0.1 that shows a device certificate.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "SerialFixture.h"

namespace tls_test {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

// A certificate and its key; `issuer` null: self-signed.
struct Identity {
  Key key;
  Certificate certificate;
};

inline void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) throw std::runtime_error("cannot make a certificate extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// Valid from `fromSeconds` to `toSeconds` relative to now; a CA when `ca`.
inline Identity MakeIdentity(const std::string& commonName, const Identity* issuer, long fromSeconds, long toSeconds,
                             bool ca = false) {
  static long serial = 1;
  Identity made{Key(EVP_EC_gen("P-256")), Certificate(X509_new())};
  if (!made.key || !made.certificate) throw std::runtime_error("cannot make a key");
  X509* certificate = made.certificate.get();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
  X509_gmtime_adj(X509_getm_notBefore(certificate), fromSeconds);
  X509_gmtime_adj(X509_getm_notAfter(certificate), toSeconds);
  X509_set_pubkey(certificate, made.key.get());
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                             -1, 0);
  X509* signer = issuer != nullptr ? issuer->certificate.get() : certificate;
  X509_set_issuer_name(certificate, X509_get_subject_name(signer));
  AddExtension(certificate, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  if (ca) AddExtension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  if (X509_sign(certificate, issuer != nullptr ? issuer->key.get() : made.key.get(), EVP_sha256()) == 0)
    throw std::runtime_error("cannot sign a certificate");
  return made;
}

constexpr long kDay = 24 * 60 * 60;

inline Identity MakeCa(const std::string& name) { return MakeIdentity(name, nullptr, -kDay, 365 * kDay, true); }

// Writes `<path>.pem` and `<path>.key`.
inline void WriteIdentity(const Identity& identity, const std::string& path) {
  std::FILE* pem = std::fopen((path + ".pem").c_str(), "w");
  std::FILE* key = std::fopen((path + ".key").c_str(), "w");
  const bool written = pem != nullptr && key != nullptr && PEM_write_X509(pem, identity.certificate.get()) == 1 &&
                       PEM_write_PrivateKey(key, identity.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (pem != nullptr) std::fclose(pem);
  if (key != nullptr) std::fclose(key);
  if (!written) throw std::runtime_error("cannot write " + path);
}

// A TLS client on 127.0.0.1 that trusts `caFile` for the server and shows `certificate`
// (`<path>.pem` and `<path>.key`; empty: none). Owner's thread.
class TlsDevice {
 public:
  TlsDevice(std::uint16_t port, const std::string& caFile, const std::string& certificate = "") {
    m_context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION);
    SSL_CTX_load_verify_file(m_context, caFile.c_str());
    SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, nullptr);
    if (!certificate.empty()) {
      SSL_CTX_use_certificate_file(m_context, (certificate + ".pem").c_str(), SSL_FILETYPE_PEM);
      SSL_CTX_use_PrivateKey_file(m_context, (certificate + ".key").c_str(), SSL_FILETYPE_PEM);
    }
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Every blocking call below is bounded by these.
    const timeval bound{0, 200 * 1000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) return;
    m_ssl = SSL_new(m_context);
    SSL_set_fd(m_ssl, m_fd);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      ERR_clear_error();
      if (SSL_connect(m_ssl) == 1) {
        m_connected = true;
        return;
      }
      if (SSL_get_error(m_ssl, 0) != SSL_ERROR_WANT_READ) return;
    }
  }
  ~TlsDevice() {
    if (m_ssl != nullptr) SSL_free(m_ssl);
    if (m_fd >= 0) ::close(m_fd);
    SSL_CTX_free(m_context);
  }
  TlsDevice(const TlsDevice&) = delete;
  TlsDevice& operator=(const TlsDevice&) = delete;

  // Whether the client's side of the handshake finished (with TLS 1.3 the server may still
  // refuse the client's certificate after that).
  bool Connected() const { return m_connected; }

  bool Send(const Bytes& data) {
    std::size_t written = 0;
    return m_connected && SSL_write_ex(m_ssl, data.data(), data.size(), &written) == 1 && written == data.size();
  }

  // Reads until `count` bytes came, the connection ended or the bound passed.
  Bytes Read(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    Bytes received;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (m_connected && received.size() < count && std::chrono::steady_clock::now() < deadline) {
      unsigned char chunk[4096];
      std::size_t got = 0;
      ERR_clear_error();
      if (SSL_read_ex(m_ssl, chunk, std::min(sizeof chunk, count - received.size()), &got) == 1) {
        received.insert(received.end(), chunk, chunk + got);
        continue;
      }
      if (SSL_get_error(m_ssl, 0) != SSL_ERROR_WANT_READ) break;
    }
    return received;
  }

  // True once the server has ended the connection within the bound (or the handshake
  // never finished); data arriving meanwhile is dropped.
  bool WaitClosed(std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    if (!m_connected) return true;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
      unsigned char chunk[256];
      std::size_t got = 0;
      ERR_clear_error();
      if (SSL_read_ex(m_ssl, chunk, sizeof chunk, &got) == 1) continue;
      const int error = SSL_get_error(m_ssl, 0);
      if (error != SSL_ERROR_WANT_READ) return true;
    }
    return false;
  }

 private:
  SSL_CTX* m_context = nullptr;
  SSL* m_ssl = nullptr;
  int m_fd = -1;
  bool m_connected = false;
};

}  // namespace tls_test
