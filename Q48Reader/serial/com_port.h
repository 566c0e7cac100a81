// ComPort: one serial connection to the reader, with its reader thread and
// receive queue.
//
// Threads: Open, ResumeReader, Write, TakeReceived, Close and destruction run
// on the caller's thread. The reader thread (created by Open, started by
// ResumeReader, stopped and joined by Close) reads the port, reassembles
// frames and queues accepted messages. The queue, under its own lock, is the
// only thing the two threads share.
//
// Life cycle: every exchange copies the prototype PortSettings(). A fresh copy
// holds the "no handle" marker (0), and Open acts only on a port holding the
// "invalid handle" marker (-1); Close on the fresh copy is what makes it
// openable. Open on a port that is not closed returns 1 and changes nothing
// but the port number.
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
constexpr intptr_t kNoHandle = 0;
constexpr intptr_t kInvalidHandle = -1;

struct ReceivedMessage {
  uint8_t data[kReceivedMessageSize];
  int32_t length;
};

class ComPort {
 public:
  ComPort();                      // the prototype: port 2, no handle
  ComPort(const ComPort& other);  // a fresh copy: own queue and lock, no thread
  ComPort& operator=(const ComPort&) = delete;
  ~ComPort();  // closes an open port, frees queued messages

  // Opens port n with the reader's line settings (115200 8N1, no flow
  // control, DTR and RTS on) for exclusive use, and creates the reader thread
  // without starting it. 1 on success, 0 when the device is absent, held by
  // another program or cannot be configured.
  int32_t Open(int32_t portNumber);
  // Starts the reader thread: 1, or 0 when there is none.
  int32_t ResumeReader();
  // Writes a frame; returns the bytes written (callers do not look at it).
  // May block until the driver takes the bytes, at most 10 ms a byte + 1 s.
  int32_t Write(const uint8_t* bytes, int32_t count);
  // Moves the oldest queued message to the start of `buffer` (10240 bytes,
  // caller-owned); returns its length, or 0 when the queue is empty (the
  // buffer is then untouched). Never blocks beyond the queue lock.
  int32_t TakeReceived(uint8_t* buffer);
  // Stops and joins the reader thread and closes the port. Never fails.
  void Close();

  // The device a port number names is platform business (POSIX:
  // <dir>/ttyUSB<n>; Windows: \\.\COM<n>). These let a caller name the device
  // directory, or one device outright.
  void SetDeviceDirectory(std::string directory) { deviceDirectory_ = std::move(directory); }
  void SetDevicePath(std::string path) { devicePath_ = std::move(path); }

  int32_t portNumber() const { return portNumber_; }
  intptr_t portHandle() const { return portHandle_; }
  bool isOpen() const { return isOpen_ != 0; }
  size_t QueuedCount() const;

  struct Platform;  // per-platform state (handles, thread, stop signal)

 private:
  friend struct Platform;
  // Reader thread: feed one chunk read from the port.
  void OnChunk(const uint8_t* chunk, size_t size);
  // Reader thread: forget partial frames after a line error.
  void OnLineError();
  void QueueMessage(const uint8_t* message, size_t length);
  std::string DevicePath(int32_t portNumber) const;
  void DestroyPlatform();

  int32_t portNumber_ = 2;
  std::deque<std::unique_ptr<ReceivedMessage>> receiveQueue_;
  mutable std::mutex queueLock_;
  intptr_t portHandle_ = kNoHandle;
  int32_t isOpen_ = 0;
  std::string deviceDirectory_;
  std::string devicePath_;
  std::unique_ptr<FrameReassembler> reassembler_;  // reader thread only
  Platform* platform_ = nullptr;
};

// The process-wide prototype that every exchange copies; made on first use
// (thread-safe), never opened.
const ComPort& PortSettings();

}  // namespace q48
