#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/CIOBuffer.h"
#include "net/CTlsContext.h"
#include "net/TlsFailure.h"

namespace Sockora {

// One TLS connection on memory: the ciphertext a socket received goes in and plaintext
// comes out; plaintext to send goes in and ciphertext comes out in pooled buffers, in the
// order it must leave. It does no socket I/O, so nothing in it ever blocks or waits. The
// SSL object is made when the first bytes arrive; an idle connection holds neither record
// buffers nor received bytes.
//
// Not thread-safe: the owner serialises every call, except HasPendingInput and
// Established (any thread).
class CTlsSession {
 public:
  CTlsSession(std::shared_ptr<const CTlsContext> context, CIOBuffer::Allocator& allocator);
  ~CTlsSession();
  CTlsSession(const CTlsSession&) = delete;
  CTlsSession& operator=(const CTlsSession&) = delete;

  struct Outcome {
    std::uint32_t plaintext = 0;  // bytes written to the output
    bool established = false;     // the handshake finished during this call
    bool closed = false;          // the client ended the TLS session (close_notify)
    std::optional<TlsFailure> failure;
    std::string reason;  // with a failure: what went wrong, for a line
  };

  // Takes the used bytes of `input` (null: only what an earlier call kept) and writes up
  // to `limit` bytes of plaintext to `output`. Input it could not decrypt for want of room
  // is kept (a reference on its buffer) for the next call: HasPendingInput says so. After a
  // failure the session is dead; TakeOutput may then hold the alert for the client.
  Outcome Decrypt(CIOBuffer* input, std::uint8_t* output, std::uint32_t limit);
  // Whether Decrypt can give more plaintext without new input.
  bool HasPendingInput() const { return m_pending.load(std::memory_order_acquire); }

  // Encrypts `length` bytes into records for TakeOutput. False (nothing sent) before the
  // handshake has finished, after a failure, or when out of memory.
  bool Encrypt(const void* data, std::size_t length);
  // Ends the TLS session politely (close_notify) if it was established.
  void Close();
  // The ciphertext made since the last call, in sending order; the caller owns one
  // reference on each buffer.
  std::vector<CIOBuffer*> TakeOutput();

  // Whether the client has sent anything (the SSL object exists).
  bool Started() const { return m_ssl != nullptr; }
  bool Established() const { return m_established.load(std::memory_order_acquire); }
  // Whether the client showed a certificate that chains to the client CA bundle, and its
  // subject's common name (empty when none). Set when the handshake finishes.
  bool PeerVerified() const { return m_peerVerified; }
  const std::string& PeerName() const { return m_peerName; }

 private:
  friend struct TlsSessionBio;

  // The BIO's ends: copy out of the kept input, append to the output buffers.
  std::size_t TakeInput(std::uint8_t* data, std::size_t length);
  bool AppendOutput(const std::uint8_t* data, std::size_t length);
  void Fail(Outcome& outcome, TlsFailure failure, std::string reason);
  void OnEstablished();
  void ReleaseInput();

  const std::shared_ptr<const CTlsContext> m_context;
  CIOBuffer::Allocator& m_allocator;
  struct SslFree {
    void operator()(SSL* ssl) const;
  };
  std::unique_ptr<SSL, SslFree> m_ssl;
  CIOBuffer* m_input = nullptr;  // referenced while bytes of it wait
  std::uint32_t m_inputOffset = 0;
  std::vector<CIOBuffer*> m_output;
  bool m_failed = false;
  bool m_peerVerified = false;
  std::string m_peerName;
  std::atomic<bool> m_pending{false};
  std::atomic<bool> m_established{false};
};

}  // namespace Sockora
