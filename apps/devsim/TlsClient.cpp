#include "TlsClient.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Every reason on OpenSSL's error queue, oldest (the most specific) first; empties the queue.
std::string QueuedReasons() {
  std::string reasons;
  while (const unsigned long code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    if (!reasons.empty()) reasons += ", ";
    reasons += reason != nullptr ? reason : "error " + std::to_string(code);
  }
  return reasons.empty() ? "no reason given" : reasons;
}

bool IsIpAddress(const std::string& name) {
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, name.c_str(), &v4) == 1 || inet_pton(AF_INET6, name.c_str(), &v6) == 1;
}

}  // namespace

std::unique_ptr<CTlsClientContext> CTlsClientContext::Create(const TlsClientSettings& settings, std::string& error) {
  ERR_clear_error();
  SSL_CTX* raw = SSL_CTX_new(TLS_client_method());
  if (raw == nullptr) {
    error = "cannot set up TLS: " + QueuedReasons();
    return nullptr;
  }
  std::unique_ptr<CTlsClientContext> context(new CTlsClientContext(raw, settings));
  SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
  // A server that closes without a close notification ends the run like a plain one.
  SSL_CTX_set_options(raw, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Partial writes keep the non-blocking sends of plain devices; the pending buffer moves as it grows;
  // thousands of idle devices should not each hold two 16 KB buffers.
  SSL_CTX_set_mode(raw, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  if (!settings.caFile.empty()) {
    if (SSL_CTX_load_verify_locations(raw, settings.caFile.c_str(), nullptr) != 1) {
      error = "cannot use --ca " + settings.caFile + ": " + QueuedReasons();
      return nullptr;
    }
    SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, nullptr);
  }
  if (!settings.certFile.empty()) {
    if (SSL_CTX_use_certificate_chain_file(raw, settings.certFile.c_str()) != 1) {
      error = "cannot use --cert " + settings.certFile + ": " + QueuedReasons();
      return nullptr;
    }
    // Also refuses a key that does not belong to the certificate ("key values mismatch").
    if (SSL_CTX_use_PrivateKey_file(raw, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      error = "cannot use --key " + settings.keyFile + ": " + QueuedReasons();
      return nullptr;
    }
  }
  return context;
}

std::unique_ptr<CTlsSession> CTlsClientContext::Open(int fd, const std::string& host, std::string& error) const {
  ERR_clear_error();
  SSL* raw = SSL_new(m_context.get());
  if (raw == nullptr) {
    error = "cannot start TLS: " + QueuedReasons();
    return nullptr;
  }
  std::unique_ptr<CTlsSession> session(new CTlsSession(raw));
  const std::string& name = m_settings.serverName.empty() ? host : m_settings.serverName;
  // An address as the name is checked against the certificate's IP entries, and never sent as SNI.
  const bool named = !IsIpAddress(name);
  if (SSL_set_fd(raw, fd) != 1 || (named && SSL_set_tlsext_host_name(raw, name.c_str()) != 1) ||
      (!m_settings.caFile.empty() && SSL_set1_host(raw, name.c_str()) != 1)) {
    error = "cannot start TLS: " + QueuedReasons();
    return nullptr;
  }
  SSL_set_hostflags(raw, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  SSL_set_connect_state(raw);
  return session;
}

CTlsSession::Status CTlsSession::Outcome(int returned, bool& wantsWrite, const char* stage) {
  wantsWrite = false;
  const int error = SSL_get_error(m_ssl.get(), returned);
  switch (error) {
    case SSL_ERROR_NONE:
      return Status::Done;
    case SSL_ERROR_WANT_READ:
      return Status::Again;
    case SSL_ERROR_WANT_WRITE:
      wantsWrite = true;
      return Status::Again;
    case SSL_ERROR_ZERO_RETURN:
      return Status::Closed;
    case SSL_ERROR_SYSCALL: {
      const int saved = errno;
      ERR_clear_error();
      if (saved == ECONNRESET || saved == EPIPE || saved == 0) return Status::Closed;
      m_failure = std::string(stage) + ": " + std::strerror(saved);
      return Status::Failed;
    }
    default: {
      m_failure = std::string(stage) + ": " + QueuedReasons();
      const long verified = SSL_get_verify_result(m_ssl.get());
      if (verified != X509_V_OK) m_failure += " (" + std::string(X509_verify_cert_error_string(verified)) + ")";
      return Status::Failed;
    }
  }
}

CTlsSession::Result CTlsSession::Handshake() {
  ERR_clear_error();
  const int returned = SSL_do_handshake(m_ssl.get());
  Status status = Outcome(returned, m_handshakeWantsWrite, "TLS handshake failed");
  if (status == Status::Closed) {
    // The server hung up before the handshake ended: it refused us, or it does not speak TLS.
    m_failure = "the server closed the connection during the TLS handshake (is this its TLS port?)";
    status = Status::Failed;
  }
  return {status, 0};
}

CTlsSession::Result CTlsSession::Write(const unsigned char* data, std::size_t length) {
  std::size_t written = 0;
  while (written < length) {
    ERR_clear_error();
    std::size_t taken = 0;
    const int returned = SSL_write_ex(m_ssl.get(), data + written, length - written, &taken);
    const Status status = Outcome(returned, m_writeWantsWrite, "TLS send failed");
    if (status != Status::Done) return {status, written};
    written += taken;
  }
  return {Status::Done, written};
}

CTlsSession::Result CTlsSession::Read(unsigned char* buffer, std::size_t size) {
  ERR_clear_error();
  std::size_t got = 0;
  const int returned = SSL_read_ex(m_ssl.get(), buffer, size, &got);
  const Status status = Outcome(returned, m_readWantsWrite, "TLS receive failed");
  return {status, got};
}

void CTlsSession::Shutdown() {
  ERR_clear_error();
  // The socket is closed right after: a notification the socket did not take changes nothing.
  if (SSL_shutdown(m_ssl.get()) < 0) ERR_clear_error();
}

std::string CTlsSession::Summary() const {
  std::string summary = std::string(SSL_get_version(m_ssl.get())) + ", " + SSL_get_cipher_name(m_ssl.get());
  X509* certificate = SSL_get0_peer_certificate(m_ssl.get());
  char name[256] = "";
  if (certificate != nullptr)
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
  summary += std::string(", server certificate CN=\"") + name + "\"";
  summary += SSL_get_verify_mode(m_ssl.get()) == SSL_VERIFY_NONE ? " not verified (no --ca)" : " verified";
  return summary;
}
