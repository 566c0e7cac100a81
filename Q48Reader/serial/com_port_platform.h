// What ComPort asks of the platform: open the reader's device with its line
// settings, run a reader thread on it, write to it, close it.
//
// Backends: com_port_posix.cpp (termios), com_port_win32.cpp (the
// communications API); CMake picks one. A new platform defines
// OpenPortDevice and a PortDevice subclass. Everything portable (the receive
// queue, frame reassembly, the refusal of a second Open) is ComPort's
// (com_port.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "com_port.h"

namespace q48 {

// Where the reader thread's bytes go. ComPort implements it.
class PortReceiver {
 public:
  // Caller: the reader thread, for every chunk it reads (at most
  // kMaxChunkSize bytes). Blocks: on the receive queue's lock only. Buffers:
  // `chunk` is the backend's, read during the call. May throw
  // std::bad_alloc; the backend then calls OnLineError and reads on.
  virtual void OnChunk(const uint8_t* chunk, size_t size) = 0;
  // Caller: the reader thread, after a line error (or a chunk lost to a
  // failed allocation): forget the frame partly assembled. Blocks: never.
  virtual void OnLineError() = 0;

 protected:
  ~PortReceiver() = default;
};

// One open device with its reader thread.
class PortDevice {
 public:
  // Caller: ComPort::Close and ComPort's destructor, on the caller's thread.
  // Stops and joins the reader thread (Windows: terminates it after 1 s),
  // releases the exclusive use and closes the device. Blocks: for the reader
  // thread's current cycle.
  virtual ~PortDevice() = default;

  // Caller: ComPort::ResumeReader, once after the open. Starts the reader
  // thread, which from then on calls the receiver. Blocks: never. False when
  // there is no reader thread (the system refused one).
  virtual bool ResumeReader() = 0;

  // Caller: ComPort::Write. Writes a frame. Blocks: until the driver takes
  // the bytes, at most 10 ms a byte + 1 s (+ 0.5 s on Windows to reclaim a
  // write the driver holds on to). Buffers: `bytes` is the caller's, not
  // kept. Returns the bytes written (0 when the line failed).
  virtual int32_t Write(const uint8_t* bytes, int32_t count) = 0;
};

// Caller: ComPort::Open, on the caller's thread, with nothing open. Opens
// `device` (a path on POSIX; on Windows a COM name such as "COM7", with or
// without the "\\.\" prefix) for exclusive use with the reader's line
// settings (115200 8N1, no flow control, DTR and RTS on), discards whatever
// waits in its queues, and creates the reader thread without starting it;
// the thread reports to `receiver`, which must outlive *opened. Blocks: as
// long as the system's open and line calls do. On success *opened is set; on
// failure it stays null and the result says why. Without a reader thread
// (the system refused one) the device still opens.
OpenResult OpenPortDevice(const std::string& device, PortReceiver& receiver, std::unique_ptr<PortDevice>* opened);

}  // namespace q48
