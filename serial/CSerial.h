#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/CManualResetEvent.h"
#include "platform/Messages.h"

// The largest chunk ReadBlock returns; a chunk always fits a DataItem, escaped or not.
constexpr int CS_BUFF_LEN = 5120;

// One COM port: a tty opened in raw mode, its line settings, an event thread that waits
// for input and line events while the port is open (and times writes), a chunking reader
// and a bounded writer. Line events go to the owner target as WM_SERIAL_* messages; input
// and a vanished device go to the listener, on the event thread.
//
// Threads: Open and ClosePort from the port's manager (opens are serialised by it;
// ClosePort from any thread, the event thread included); ReadBlock from the event
// thread (inside Listener::OnPortInput); Write and WriteNow from one sending thread at a
// time.
class CSerial {
 public:
  // Called on the port's event thread.
  class Listener {
   public:
    virtual ~Listener() = default;
    // Input is waiting: read it with port.ReadBlock.
    virtual void OnPortInput(CSerial& port) = 0;
    // The device went away (pty hang-up, adapter unplugged); the port has been closed.
    virtual void OnPortGone(CSerial& port) = 0;
  };

  explicit CSerial(Listener& listener);
  // Closes the port and waits until its event thread has ended (handling messages sent
  // to the calling thread's targets meanwhile). Not on the event thread.
  virtual ~CSerial();
  CSerial(const CSerial&) = delete;
  CSerial& operator=(const CSerial&) = delete;

  // Opens COM<portNumber> (see DevicePath) and sets the line: stopBits 0, 1, 2 = one,
  // one and a half, two; parity 0 to 4 = none, odd, even, mark, space. False when the
  // number is outside 1..1024, the object is already open (nothing changes), the device
  // cannot be opened (a second time too, for writes) or is held by another port object,
  // the entry is an end of a setupc pair whose holder is gone, or the settings are
  // refused. A failed open leaves the object closed.
  bool Open(int portNumber, unsigned baudRate, unsigned char byteSize, unsigned char stopBits,
            unsigned char parity);
  // Any thread.
  bool IsOpen() const;
  // Any thread. Never waits for the event thread: the thread sees the stop, ends a write
  // still waiting for room (it returns short) and ends on its own; the descriptors are
  // closed once no read, write or event wait still uses them.
  void ClosePort();

  // Event thread. Gathers one chunk into buffer (at least CS_BUFF_LEN bytes): it ends at
  // CS_BUFF_LEN bytes, or when two successive looks find no input with the idle wait
  // between them. Returns the bytes placed (0 when nothing came). Pending line errors
  // discard the queued input and end the look empty.
  int ReadBlock(unsigned char* buffer);

  // Sending thread. Writes and returns the bytes written: fewer than length when the
  // device took nothing for 5 s (told by the event thread, to within a second), failed
  // (EIO: it went away) or the port was closed meanwhile; 0 on a closed port or with line
  // errors pending (the queued input is then discarded and nothing is written).
  int Write(const unsigned char* buffer, int length);
  // Sending thread. Writes what the port takes at once, without waiting: the bytes
  // written (0 when it is full), or -1 when it is closed or failing, and on a device that
  // counts line errors (Write, which takes them first, writes to those).
  int WriteNow(const unsigned char* buffer, int length);

  // Any thread; both survive close and reopen.
  void SetOwner(TargetHandle owner) { m_owner = owner; }
  void SetIdleWait(unsigned milliseconds) { m_idleWait = milliseconds; }

  // <port directory>/COM<n> when that entry exists (a dangling link still counts: the
  // open then fails), otherwise /dev/ttyS<n-1>. Any thread.
  static std::string DevicePath(int portNumber);

 protected:
  // Line events, reported to the owner where the device reports them (real UARTs;
  // a pty has no modem lines). Event thread, except OnLineError (reading or sending thread).
  virtual void OnCts(bool on);
  virtual void OnDsr(bool on);
  virtual void OnRing();
  virtual void OnRlsd();
  virtual void OnBreak();
  virtual void OnLineError(unsigned errors);
  virtual void OnReceive();

 private:
  struct Session;

  std::shared_ptr<Session> CurrentSession() const;
  void WatchEvents(const std::shared_ptr<Session>& session);
  void CheckLines(Session& session);
  int ReadSome(Session& session, unsigned char* buffer, int size);
  bool TakeLineErrors(Session& session);
  void PortGone(const std::shared_ptr<Session>& session);

  Listener& m_listener;
  mutable std::mutex m_sessionMutex;  // guards the two pointers below, never held across I/O
  std::shared_ptr<Session> m_session;  // null while closed
  // Set when the newest event thread has ended. Each thread waits for its predecessor's
  // before it starts watching, so one object never runs two event loops at once.
  std::shared_ptr<Sockora::Win32::CManualResetEvent> m_lastThreadEnded;
  std::atomic<int> m_portNumber{0};  // the n of COM<n> of the last successful Open
  std::atomic<TargetHandle> m_owner{0};
  std::atomic<unsigned> m_idleWait{50};
};
