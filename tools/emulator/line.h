// The emulator's byte stream to the library, one backend per platform
// (line_posix.cpp: a pty master or a serial device; line_win32.cpp: a COM
// port). The pump (pump.cpp) owns the state machine (start, stop, send,
// hang-up, run) and calls these members; a backend only opens, waits, wakes,
// reads, writes and closes.
//
// Threads: the pump thread makes the I/O calls while it runs; otherwise the
// pump's control thread does (one at a time: the pump serialises its public
// calls). Wake is the only member called from other threads, at any time.
// Buffers are the caller's and are used only during the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace q48emu {
namespace detail {

class LineBackend {
 public:
  enum class Io {
    kDone,         // bytes moved (a read may have got none: woken, or the poll period passed)
    kInterrupted,  // a write gave up because `interrupted` held after a Wake
    kFailed,       // the line failed or the other end is gone; *why says so
  };

  // Asked by a write after each Wake: whether to give up (a stop or hang-up).
  using Interrupt = std::function<bool()>;

  virtual ~LineBackend() = default;  // closes the line; the pump has stopped

  // Opening, by the control thread while the pump is stopped. Each replaces
  // an open line (closing it first) and returns false with a reason in
  // *error when it cannot open; the old line is closed either way.
  //
  // A new pty (raw, 115200), whose slave path goes to *slavePath. The backend
  // keeps a slave descriptor open so the master never sees a hang-up between
  // the library's opens. Platforms without ptys say so in *error.
  virtual bool OpenPty(std::string* slavePath, std::string* error) = 0;
  // A serial device or COM port, set to the reader's line (115200 8N1, no
  // flow control), with what was waiting in it discarded.
  virtual bool OpenPort(const std::string& name, std::string* error) = 0;
  // An open descriptor (on Windows, a C runtime descriptor of a COM port).
  // The backend owns `fd` from this call on, whatever it returns.
  virtual bool Adopt(int fd, std::string* error) = 0;
  // Closes the line (the hang-up the other end sees). By the pump thread
  // while it runs, else by the control thread.
  virtual void Close() = 0;

  // Waits until bytes arrive, a Wake, the line fails, or (on platforms that
  // poll) a poll period of a few milliseconds passes; then reads what is
  // there, at most `size` bytes, into `buffer`. *got is set on kDone.
  virtual Io Read(uint8_t* buffer, size_t size, size_t* got, std::string* why) = 0;
  // Writes some of `bytes`, waiting while the line is full; *written is set
  // on kDone (possibly 0 after a Wake). The caller loops for the rest.
  // Gives up with kInterrupted when `interrupted` holds after a Wake; no
  // write is left pending on return.
  virtual Io Write(const uint8_t* bytes, size_t count, size_t* written, const Interrupt& interrupted,
                   std::string* why) = 0;

  // Makes a wait in Read or Write return soon. Any thread.
  virtual void Wake() = 0;
};

// The backend of this platform, with no line open. Throws std::system_error
// when the wake-up object cannot be made.
std::unique_ptr<LineBackend> MakeLineBackend();

}  // namespace detail
}  // namespace q48emu
