// ComPort: one serial connection to the reader, with its reader thread and
// receive queue. Portable (com_port.cpp); the device and the thread are the
// platform's (com_port_platform.h).
//
// Life cycle: a ComPort is made closed; Open opens it, Close (or destruction)
// closes it, and it may be opened again after that. Every exchange makes its
// own and destroys it before it returns.
//
// Threads: every member runs on the caller's thread, one at a time. The
// reader thread (created by Open, started by ResumeReader, stopped and joined
// by Close) reads the port, reassembles frames and queues accepted messages.
// The queue, under its own lock, is the only thing the two threads share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "protocol/reassembly.h"

namespace q48 {

constexpr size_t kReceivedMessageSize = kReceiveLimit;

// Why a port would not open, as far as the person at the desk can act on it.
enum class OpenFailureKind : uint8_t {
  None,      // it opened
  NotFound,  // no such device
  InUse,     // another program holds it
  Denied,    // this user may not open it
  Other,     // not a serial port, cannot be configured, no resources
};

// The outcome of ComPort::Open: opened, or the sort of failure with the
// system's text for the failing call (a port in use reads as such, e.g.
// "Device or resource busy").
struct OpenResult {
  OpenFailureKind failure = OpenFailureKind::None;
  std::string reason;  // empty when opened

  static OpenResult Failed(OpenFailureKind failure, std::string reason) { return {failure, std::move(reason)}; }
  bool opened() const { return failure == OpenFailureKind::None; }
  explicit operator bool() const { return opened(); }
};

struct ReceivedMessage {
  uint8_t data[kReceivedMessageSize];
  int32_t length;
};

class PortDevice;

class ComPort {
 public:
  ComPort();
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;
  ~ComPort();  // Close, then frees queued messages

  // Caller: the exchange. Opens `device` (see OpenPortDevice in
  // com_port_platform.h: exclusive use, the reader's line settings, queues
  // discarded, reader thread created but not started), with no message or
  // partial frame left from an earlier session. Refused ("already open",
  // Other) when this port is open; it is then left as it was. Blocks only as
  // long as the system's open and line calls do.
  OpenResult Open(const std::string& device);

  // Caller: the exchange, once after Open. Starts the reader thread.
  // Never blocks. True when a reader thread was started.
  bool ResumeReader();

  // Caller: the exchange. Writes a frame (`bytes` stays the caller's and is
  // not kept); see PortDevice::Write for how long it may block. Returns the
  // bytes written: 0 on a closed port or a failed line (callers do not look
  // at it; a lost request shows up as no answer).
  int32_t Write(const uint8_t* bytes, int32_t count);

  // Caller: the exchange and the destructor. Stops and joins the reader
  // thread and closes the device (PortDevice's destructor). Does nothing on
  // a closed port. Never fails.
  void Close();

  // Caller: the exchange. Moves the oldest queued message to the start of
  // `buffer` (kReceivedMessageSize bytes, caller-owned); returns its length,
  // or 0 when the queue is empty (the buffer is then untouched). Never
  // blocks beyond the queue lock.
  int32_t TakeReceived(uint8_t* buffer);

  bool isOpen() const { return device_ != nullptr; }
  size_t QueuedCount() const;

 private:
  class Receiver;
  void QueueMessage(const uint8_t* message, size_t length);

  std::deque<std::unique_ptr<ReceivedMessage>> receiveQueue_;
  mutable std::mutex queueLock_;
  std::unique_ptr<Receiver> receiver_;    // the reader thread's side; made by Open
  std::unique_ptr<PortDevice> device_;    // non-null exactly while open; closed before receiver_ goes
};

}  // namespace q48
