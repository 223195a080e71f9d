// The TLS path: what a device sends goes into CTlsSession on its memory BIOs, in chunks as
// a socket would deliver them. Raw inputs are handshake and record bytes as they come (a
// ClientHello made by the openssl program is a seed). Other inputs drive a real TLS client
// (OpenSSL, on memory) through the handshake and send their bytes as application data,
// maybe with one ciphertext byte changed: the plaintext that comes out must be what the
// client sent (with a changed byte: a part of it, then a failure), never more or other,
// and what the session encrypts must reach the client whole.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "TestCertificates.h"
#include "net/CIOBuffer.h"
#include "net/CTlsContext.h"
#include "net/CTlsSession.h"

namespace {

using Sockora::CIOBuffer;
using Sockora::CTlsContext;
using Sockora::CTlsSession;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBufferSize = 10240;  // a receive buffer of the link handler

struct Setup {
  Setup() {
    FuzzCheck(certificates.Problem().empty(), "no test certificates: " + certificates.Problem());
    std::string failure;
    plain = CTlsContext::Load({certificates.File("server.pem"), certificates.File("server.key"), ""}, failure);
    FuzzCheck(plain != nullptr, "server context: " + failure);
    withClientCa = CTlsContext::Load(
        {certificates.File("server.pem"), certificates.File("server.key"), certificates.File("ca.pem")}, failure);
    FuzzCheck(withClientCa != nullptr, "server context with a client CA: " + failure);
  }
  TestCertificates certificates;
  std::shared_ptr<const CTlsContext> plain;
  std::shared_ptr<const CTlsContext> withClientCa;
  CIOBuffer::Allocator allocator{kBufferSize, 64};
};

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

// Chunk sizes from a seed, so that the input's bytes stay data.
class Chunker {
 public:
  explicit Chunker(std::uint32_t seed) : m_state(seed | 1) {}
  std::uint32_t Next(std::uint32_t most) {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 17;
    m_state ^= m_state << 5;
    // Mostly small pieces, sometimes a whole buffer.
    const std::uint32_t pick = m_state % 8;
    const std::uint32_t size = pick == 0 ? kBufferSize : pick < 4 ? 1 + (m_state >> 8) % 8 : 1 + (m_state >> 8) % 700;
    return size < most ? size : most;
  }

 private:
  std::uint32_t m_state;
};

// What the session made of a stream of ciphertext.
struct Received {
  Bytes plaintext;
  bool established = false;
  bool closed = false;
  bool failed = false;
  std::optional<TlsFailure> failure;
};

// Feeds `ciphertext` in chunks as the link handler does: new input only when nothing is
// kept, plaintext taken `limit` bytes at a time.
void Feed(CTlsSession& session, const Bytes& ciphertext, Chunker& chunks, std::uint32_t limit, Received& received) {
  std::vector<std::uint8_t> output(limit);
  std::size_t offset = 0;
  int idle = 0;
  while (!received.failed && (offset < ciphertext.size() || session.HasPendingInput())) {
    CIOBuffer* buffer = nullptr;
    if (!session.HasPendingInput()) {
      buffer = TheSetup().allocator.Allocate();
      const std::uint32_t size = chunks.Next(static_cast<std::uint32_t>(ciphertext.size() - offset));
      buffer->AddData(ciphertext.data() + offset, size);
      offset += size;
    }
    const CTlsSession::Outcome outcome = session.Decrypt(buffer, output.data(), limit);
    if (buffer != nullptr) buffer->Release();
    FuzzCheck(outcome.plaintext <= limit, "more plaintext than asked for");
    received.plaintext.insert(received.plaintext.end(), output.begin(), output.begin() + outcome.plaintext);
    received.established = received.established || outcome.established;
    received.closed = received.closed || outcome.closed;
    if (outcome.failure) {
      received.failed = true;
      received.failure = outcome.failure;
      FuzzCheck(!outcome.reason.empty(), "a failure without a reason");
    }
    // A kept input that gives nothing again and again would spin the link handler.
    idle = buffer == nullptr && outcome.plaintext == 0 && !outcome.closed ? idle + 1 : 0;
    FuzzCheck(idle < 3, "kept input that never decrypts");
  }
}

Bytes TakeOutput(CTlsSession& session) {
  Bytes bytes;
  for (CIOBuffer* buffer : session.TakeOutput()) {
    bytes.insert(bytes.end(), buffer->GetBuffer(), buffer->GetBuffer() + buffer->GetUsed());
    buffer->Release();
  }
  return bytes;
}

Bytes Drain(BIO* bio) {
  Bytes bytes;
  std::uint8_t chunk[4096];
  int got = 0;
  while ((got = BIO_read(bio, chunk, sizeof chunk)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  return bytes;
}

void RawBytes(FuzzInput& input) {
  const bool clientCa = input.Byte() & 1;
  Chunker chunks(input.Long());
  const std::uint32_t limit = 1 + input.Word() % kBufferSize;
  CTlsSession session(clientCa ? TheSetup().withClientCa : TheSetup().plain, TheSetup().allocator);
  Received received;
  Feed(session, input.Rest(), chunks, limit, received);
  FuzzCheck(!received.established && !session.Established(), "a handshake finished on bytes made without a key");
  FuzzCheck(received.plaintext.empty(), "plaintext from bytes made without a key");
  if (received.failed) {
    const CTlsSession::Outcome again = session.Decrypt(nullptr, nullptr, 0);
    FuzzCheck(again.failure.has_value(), "a failed session goes on");
    FuzzCheck(!session.HasPendingInput(), "a failed session keeps input");
  }
  TakeOutput(session);
}

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct SslCtxFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

void RealClient(FuzzInput& input) {
  const std::uint8_t mode = input.Byte();
  const bool clientCa = mode & 1;
  const bool showCertificate = mode & 2;
  const bool tls12 = mode & 4;
  Chunker chunks(input.Long());
  const std::uint32_t limit = 1 + input.Word() % kBufferSize;
  const std::uint16_t corrupt = input.Word();  // 0: none; else the ciphertext byte to change, counted from 1
  const std::uint8_t flip = input.Byte() | 1;

  Setup& setup = TheSetup();
  std::unique_ptr<SSL_CTX, SslCtxFree> context(SSL_CTX_new(TLS_client_method()));
  FuzzCheck(context != nullptr, "client context");
  SSL_CTX_set_max_proto_version(context.get(), tls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  FuzzCheck(SSL_CTX_load_verify_locations(context.get(), setup.certificates.File("ca.pem").c_str(), nullptr) == 1,
            "client trust");
  if (showCertificate) {
    FuzzCheck(SSL_CTX_use_certificate_file(context.get(), setup.certificates.File("00000001.pem").c_str(),
                                           SSL_FILETYPE_PEM) == 1 &&
                  SSL_CTX_use_PrivateKey_file(context.get(), setup.certificates.File("00000001.key").c_str(),
                                              SSL_FILETYPE_PEM) == 1,
              "client certificate");
  }
  std::unique_ptr<SSL, SslFree> client(SSL_new(context.get()));
  BIO* toClient = BIO_new(BIO_s_mem());
  BIO* fromClient = BIO_new(BIO_s_mem());
  SSL_set_bio(client.get(), toClient, fromClient);
  SSL_set_connect_state(client.get());

  CTlsSession session(clientCa ? setup.withClientCa : setup.plain, setup.allocator);
  Received received;
  // The handshake: a few flights each way.
  for (int flight = 0; flight < 8 && !received.failed && !(session.Established() && SSL_is_init_finished(client.get()));
       ++flight) {
    SSL_do_handshake(client.get());
    Feed(session, Drain(fromClient), chunks, limit, received);
    const Bytes answer = TakeOutput(session);
    BIO_write(toClient, answer.data(), static_cast<int>(answer.size()));
  }
  ERR_clear_error();
  const bool refused = clientCa && !showCertificate;
  if (refused) {
    FuzzCheck(received.failed && !session.Established(), "a client without a certificate got through");
    FuzzCheck(received.failure == TlsFailure::Certificate, "a missing certificate is told as another failure");
    return;
  }
  FuzzCheck(!received.failed && session.Established() && received.established, "the handshake did not finish");
  FuzzCheck(received.plaintext.empty(), "plaintext during the handshake");
  FuzzCheck(session.PeerVerified() == (clientCa && showCertificate), "peer verification");
  if (session.PeerVerified()) FuzzCheck(session.PeerName() == "00000001", "peer name");

  // The device's data, in messages of the sizes the input names.
  Bytes sent;
  while (!input.Empty()) {
    const Bytes message = input.Bytes(1 + input.Byte() * 8);
    if (message.empty()) break;
    FuzzCheck(SSL_write(client.get(), message.data(), static_cast<int>(message.size())) == int(message.size()),
              "client write");
    sent.insert(sent.end(), message.begin(), message.end());
  }
  Bytes ciphertext = Drain(fromClient);
  const bool changed = corrupt != 0 && corrupt <= ciphertext.size();
  if (changed) ciphertext[corrupt - 1] ^= flip;
  Feed(session, ciphertext, chunks, limit, received);
  const Bytes& got = received.plaintext;
  FuzzCheck(got.size() <= sent.size() && std::equal(got.begin(), got.end(), sent.begin()),
            "plaintext that the client did not send");
  if (!changed) {
    FuzzCheck(!received.failed && got == sent, "plaintext lost: " + std::to_string(got.size()) + " of " +
                                                   std::to_string(sent.size()) + " bytes");
  }
  if (received.failed) return;

  // The other way: what the session encrypts, the client reads.
  if (!sent.empty() && !changed) {
    FuzzCheck(session.Encrypt(sent.data(), sent.size()), "encrypt");
    const Bytes records = TakeOutput(session);
    BIO_write(toClient, records.data(), static_cast<int>(records.size()));
    Bytes back(sent.size());
    std::size_t read = 0;
    int got = 0;
    while (read < back.size() &&
           (got = SSL_read(client.get(), back.data() + read, static_cast<int>(back.size() - read))) > 0)
      read += static_cast<std::size_t>(got);
    FuzzCheck(read == sent.size() && back == sent, "the client read other bytes than the session sent");
    // The client ends the session politely.
    SSL_shutdown(client.get());
    Feed(session, Drain(fromClient), chunks, limit, received);
    FuzzCheck(received.closed && !received.failed, "close_notify not seen");
  }
  ERR_clear_error();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheSetup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  // A first byte of 0x16 starts a TLS handshake record: such inputs (the seeds made by the
  // openssl program) are device bytes as they come.
  if (size > 0 && data[0] == 0x16) {
    FuzzInput raw(data, size);
    CTlsSession session(TheSetup().plain, TheSetup().allocator);
    Received received;
    Chunker chunks(static_cast<std::uint32_t>(size));
    Feed(session, raw.Rest(), chunks, kBufferSize, received);
    FuzzCheck(!session.Established() && received.plaintext.empty(), "a handshake finished on bytes made without a key");
    TakeOutput(session);
    return 0;
  }
  if (input.Byte() % 2 == 0)
    RawBytes(input);
  else
    RealClient(input);
  return 0;
}
