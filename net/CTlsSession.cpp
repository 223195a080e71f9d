#include "net/CTlsSession.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "platform/CException.h"

namespace Sockora {

namespace {

// The first byte of every TLS connection: a handshake record.
constexpr std::uint8_t kHandshakeRecord = 0x16;

// A common name longer than this is cut for lines; a device ID has 8 characters.
constexpr std::size_t kNameLimit = 64;

TlsFailure Classify(unsigned long error) {
  if (ERR_GET_LIB(error) != ERR_LIB_SSL) return TlsFailure::Protocol;
  switch (ERR_GET_REASON(error)) {
    case SSL_R_CERTIFICATE_VERIFY_FAILED:
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
    case SSL_R_NO_CERTIFICATES_RETURNED:
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
      return TlsFailure::Certificate;
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
      return TlsFailure::NotTls;
    default:
      return TlsFailure::Protocol;
  }
}

std::string CommonName(X509* certificate) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  const int index = subject == nullptr ? -1 : X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return {};
  unsigned char* text = nullptr;
  const int length = ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
  if (length < 0) return {};
  std::string name(reinterpret_cast<const char*>(text), std::min<std::size_t>(static_cast<std::size_t>(length), kNameLimit));
  OPENSSL_free(text);
  return name;
}

}  // namespace

// The BIO under the SSL object: reads come from the session's kept input, writes go to
// its output buffers; nothing is copied into a BIO buffer of its own.
struct TlsSessionBio {
  static CTlsSession& Session(BIO* bio) { return *static_cast<CTlsSession*>(BIO_get_data(bio)); }

  static int Write(BIO* bio, const char* data, std::size_t length, std::size_t* written) {
    BIO_clear_retry_flags(bio);
    if (!Session(bio).AppendOutput(reinterpret_cast<const std::uint8_t*>(data), length)) return 0;
    *written = length;
    return 1;
  }
  static int Read(BIO* bio, char* data, std::size_t length, std::size_t* read) {
    BIO_clear_retry_flags(bio);
    *read = Session(bio).TakeInput(reinterpret_cast<std::uint8_t*>(data), length);
    if (*read != 0) return 1;
    // No more now: the SSL object asks again once the socket delivers.
    BIO_set_retry_read(bio);
    return 0;
  }
  static long Control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }
  static int Create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
  }

  static const BIO_METHOD* Method() {
    static const BIO_METHOD* method = [] {
      BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vantrel TLS session");
      if (made == nullptr) return static_cast<BIO_METHOD*>(nullptr);
      BIO_meth_set_write_ex(made, Write);
      BIO_meth_set_read_ex(made, Read);
      BIO_meth_set_ctrl(made, Control);
      BIO_meth_set_create(made, Create);
      return made;
    }();
    return method;
  }
};

void CTlsSession::SslFree::operator()(SSL* ssl) const { SSL_free(ssl); }

CTlsSession::CTlsSession(std::shared_ptr<const CTlsContext> context, CIOBuffer::Allocator& allocator)
    : m_context(std::move(context)), m_allocator(allocator) {}

CTlsSession::~CTlsSession() {
  m_ssl.reset();
  ReleaseInput();
  for (CIOBuffer* buffer : m_output) buffer->Release();
}

void CTlsSession::ReleaseInput() {
  if (m_input != nullptr) m_input->Release();
  m_input = nullptr;
  m_inputOffset = 0;
}

std::size_t CTlsSession::TakeInput(std::uint8_t* data, std::size_t length) {
  if (m_input == nullptr) return 0;
  const std::size_t take = std::min<std::size_t>(length, m_input->GetUsed() - m_inputOffset);
  std::memcpy(data, m_input->GetBuffer() + m_inputOffset, take);
  m_inputOffset += static_cast<std::uint32_t>(take);
  if (m_inputOffset == m_input->GetUsed()) ReleaseInput();
  return take;
}

bool CTlsSession::AppendOutput(const std::uint8_t* data, std::size_t length) {
  // Called from inside OpenSSL: an exception must not cross it.
  try {
    while (length > 0) {
      if (m_output.empty() || m_output.back()->GetUsed() == m_output.back()->GetSize()) {
        m_output.push_back(nullptr);
        m_output.back() = m_allocator.Allocate();
      }
      CIOBuffer& buffer = *m_output.back();
      const std::uint32_t take = static_cast<std::uint32_t>(std::min<std::size_t>(length, buffer.GetSize() - buffer.GetUsed()));
      buffer.AddData(data, take);
      data += take;
      length -= take;
    }
    return true;
  } catch (const Win32::CException&) {
    if (!m_output.empty() && m_output.back() == nullptr) m_output.pop_back();
    return false;
  } catch (const std::bad_alloc&) {
    if (!m_output.empty() && m_output.back() == nullptr) m_output.pop_back();
    return false;
  }
}

std::vector<CIOBuffer*> CTlsSession::TakeOutput() { return std::exchange(m_output, {}); }

void CTlsSession::Fail(Outcome& outcome, TlsFailure failure, std::string reason) {
  m_failed = true;
  ReleaseInput();
  outcome.failure = failure;
  outcome.reason = std::move(reason);
}

CTlsSession::Outcome CTlsSession::Decrypt(CIOBuffer* input, std::uint8_t* output, std::uint32_t limit) {
  Outcome outcome;
  if (m_failed) {
    outcome.failure = TlsFailure::Protocol;
    outcome.reason = "the TLS session failed before";
    return outcome;
  }
  if (input != nullptr && input->GetUsed() > 0) {
    if (!m_ssl) {
      // Told apart at once: a plain device sent to the TLS port makes no sense of the
      // handshake's error text.
      if (input->GetBuffer()[0] != kHandshakeRecord) {
        Fail(outcome, TlsFailure::NotTls, "its first bytes are not a TLS handshake (a plain connection to the TLS port?)");
        m_pending.store(false, std::memory_order_release);
        return outcome;
      }
      const BIO_METHOD* method = TlsSessionBio::Method();
      BIO* bio = method == nullptr ? nullptr : BIO_new(method);
      m_ssl.reset(bio == nullptr ? nullptr : m_context->NewConnection());
      if (!m_ssl) {
        BIO_free(bio);
        Fail(outcome, TlsFailure::Protocol, "out of memory for a TLS connection");
        return outcome;
      }
      BIO_set_data(bio, this);
      SSL_set_bio(m_ssl.get(), bio, bio);
    }
    // Only given when nothing is kept: the owner reads the socket only then.
    ReleaseInput();
    input->AddRef();
    m_input = input;
  }
  if (!m_ssl) return outcome;
  ERR_clear_error();
  while (outcome.plaintext < limit) {
    std::size_t got = 0;
    if (SSL_read_ex(m_ssl.get(), output + outcome.plaintext, limit - outcome.plaintext, &got) == 1) {
      outcome.plaintext += static_cast<std::uint32_t>(got);
      continue;
    }
    const int error = SSL_get_error(m_ssl.get(), 0);
    if (error == SSL_ERROR_WANT_READ) break;
    if (error == SSL_ERROR_ZERO_RETURN) {
      outcome.closed = true;
      break;
    }
    const unsigned long reason = ERR_peek_last_error();
    std::string text;
    if (ERR_GET_LIB(reason) == ERR_LIB_SSL && ERR_GET_REASON(reason) == SSL_R_CERTIFICATE_VERIFY_FAILED)
      text = std::string("client certificate refused: ") + X509_verify_cert_error_string(SSL_get_verify_result(m_ssl.get()));
    else if (const char* words = reason == 0 ? nullptr : ERR_reason_error_string(reason))
      text = words;
    else
      text = "TLS error " + std::to_string(error);
    ERR_clear_error();
    Fail(outcome, Classify(reason), text);
    break;
  }
  if (!Established() && !m_failed && SSL_is_init_finished(m_ssl.get())) {
    OnEstablished();
    outcome.established = true;
  }
  m_pending.store(!m_failed && (m_input != nullptr || SSL_pending(m_ssl.get()) > 0), std::memory_order_release);
  return outcome;
}

void CTlsSession::OnEstablished() {
  if (X509* peer = SSL_get0_peer_certificate(m_ssl.get())) {
    m_peerVerified = m_context->RequiresClientCertificate() && SSL_get_verify_result(m_ssl.get()) == X509_V_OK;
    m_peerName = CommonName(peer);
  }
  m_established.store(true, std::memory_order_release);
}

bool CTlsSession::Encrypt(const void* data, std::size_t length) {
  if (!Established() || m_failed) return false;
  if (length == 0) return true;
  ERR_clear_error();
  std::size_t written = 0;
  if (SSL_write_ex(m_ssl.get(), data, length, &written) == 1) return true;
  ERR_clear_error();
  return false;
}

void CTlsSession::Close() {
  if (!Established() || m_failed) return;
  ERR_clear_error();
  SSL_shutdown(m_ssl.get());
  ERR_clear_error();
}

}  // namespace Sockora
