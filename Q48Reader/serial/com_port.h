// ComPort: one serial connection to the reader, with its reader thread and
// receive queue.
//
// Life cycle: a ComPort is made closed; Open opens it, Close (or destruction)
// closes it, and it may be opened again after that. Every exchange makes its
// own and destroys it before it returns.
//
// Threads: every member runs on the caller's thread, one at a time. The
// reader thread (created by Open, started by ResumeReader, stopped and joined
// by Close) reads the port, reassembles frames and queues accepted messages.
// The queue, under its own lock, is the only thing the two threads share.
//
// The backend members below are written once per platform
// (com_port_posix.cpp, com_port_win32.cpp, chosen by CMake); the rest is
// portable (com_port.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "protocol/reassembly.h"

namespace q48 {

constexpr size_t kReceivedMessageSize = 10240;

// Why a port would not open, as far as the person at the desk can act on it.
enum class OpenFailureKind : uint8_t {
  None,      // it opened
  NotFound,  // no such device
  InUse,     // another program holds it
  Denied,    // this user may not open it
  Other,     // not a serial port, cannot be configured, no resources
};

struct ReceivedMessage {
  uint8_t data[kReceivedMessageSize];
  int32_t length;
};

class ComPort {
 public:
  ComPort();
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;
  ~ComPort();  // Close, then frees queued messages

  // --- Backend members ---------------------------------------------------

  // Caller: the exchange, after discovery. The device that port number n
  // names: POSIX <directory>/ttyUSB<n>; Windows COM<n> (the directory is
  // ignored). Blocks on nothing.
  static std::string DeviceName(int32_t portNumber, const std::string& directory);

  // Caller: the exchange. Opens `device` (a path on POSIX; on Windows a COM
  // name, with or without the \\.\ prefix) for exclusive use with the
  // reader's line settings (115200 8N1, no flow control, DTR and RTS on),
  // discards whatever waits in its queues, and creates the reader thread
  // without starting it. Blocks only as long as the system's open and line
  // calls do.
  // Returns true when open. False when the device is absent, held by another
  // program, not a serial port or cannot be configured, or when this port is
  // already open (it is then left as it was); `reason`, when not null, is
  // then given the system's text for the failing call (a port in use reads
  // as such, e.g. "Device or resource busy"), and `kind`, when not null, what
  // sort of failure that is (None after success). Without a reader thread
  // (the system refused one) the port is still open: nothing is ever queued
  // and the caller's poll runs out. Portable; the device work is OpenDevice.
  bool Open(const std::string& device, std::string* reason, OpenFailureKind* kind = nullptr);

  // Caller: the exchange, once after Open. Starts the reader thread.
  // Never blocks. True when a reader thread was started.
  bool ResumeReader();

  // Caller: the exchange. Writes a frame (`bytes` stays the caller's and is
  // not kept). May block until the driver takes the bytes, at most 10 ms a
  // byte + 1 s (+ 0.5 s on Windows to reclaim a write the driver holds on
  // to). Returns the bytes written: 0 on a closed port or a failed line
  // (callers do not look at it; a lost request shows up as no answer).
  int32_t Write(const uint8_t* bytes, int32_t count);

  // Caller: the exchange and the destructor. Stops and joins the reader
  // thread, releases the exclusive use and closes the device. Blocks for the
  // reader thread's current cycle (Windows: up to 1 s, then the thread is
  // terminated). Does nothing on a closed port. Never fails.
  void Close();

  // --- Portable members --------------------------------------------------

  // Caller: the exchange. Moves the oldest queued message to the start of
  // `buffer` (kReceivedMessageSize bytes, caller-owned); returns its length,
  // or 0 when the queue is empty (the buffer is then untouched). Never
  // blocks beyond the queue lock.
  int32_t TakeReceived(uint8_t* buffer);

  bool isOpen() const { return platform_ != nullptr; }
  size_t QueuedCount() const;

  struct Platform;  // per-platform state (handles, thread, stop signal), owned by the open port

 private:
  friend struct Platform;
  // Reader thread: feed one chunk read from the port.
  void OnChunk(const uint8_t* chunk, size_t size);
  // Reader thread: forget partial frames after a line error.
  void OnLineError();
  void QueueMessage(const uint8_t* message, size_t length);
  // Open, before the reader thread exists: a reopened port starts with no
  // message or partial frame of its last session.
  void ForgetReceived();
  // Backend member. Caller: Open, on a closed port whose queue is empty.
  // Opens and sets up the device and creates the reader thread, as Open
  // says. On failure fills both `reason` and `kind` (never null) and leaves
  // the port closed.
  bool OpenDevice(const std::string& device, std::string* reason, OpenFailureKind* kind);

  std::deque<std::unique_ptr<ReceivedMessage>> receiveQueue_;
  mutable std::mutex queueLock_;
  std::unique_ptr<FrameReassembler> reassembler_;  // reader thread only
  Platform* platform_ = nullptr;                   // non-null exactly while open
};

}  // namespace q48
