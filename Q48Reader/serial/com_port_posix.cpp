// The serial port's device on POSIX: termios, an exclusive open, and a
// reader thread that waits on the port and on a stop pipe together.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "com_port_platform.h"
#include "line_settings_posix.h"

namespace q48 {

namespace {

void RaiseModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)ioctl(fd, TIOCMBIS, &lines);  // devices without modem lines refuse; that is fine
}

void RequestLowLatency(int fd) {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
  // USB-serial bridges otherwise hold received bytes for up to 16 ms.
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)ioctl(fd, TIOCSSERIAL, &serial);
  }
#else
  (void)fd;
#endif
}

// Line-error counters of a real UART (overrun, framing, parity, break);
// false where the driver keeps none (ptys).
bool ReadErrorCount(int fd, unsigned long* count) {
#if defined(__linux__) && defined(TIOCGICOUNT)
  serial_icounter_struct counters{};
  if (ioctl(fd, TIOCGICOUNT, &counters) != 0) return false;
  *count = static_cast<unsigned long>(counters.frame) + counters.overrun + counters.parity + counters.brk +
           counters.buf_overrun;
  return true;
#else
  (void)fd;
  (void)count;
  return false;
#endif
}

void CloseQuietly(int fd) {
  if (fd >= 0) (void)close(fd);
}

std::string SystemText(int error) { return std::generic_category().message(error); }

OpenFailureKind KindOf(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return OpenFailureKind::NotFound;
    case EBUSY: return OpenFailureKind::InUse;
    case EACCES:
    case EPERM: return OpenFailureKind::Denied;
    default: return OpenFailureKind::Other;
  }
}

class PosixPortDevice final : public PortDevice {
 public:
  PosixPortDevice(int fd, PortReceiver& receiver) : fd_(fd), receiver_(receiver) {}
  ~PosixPortDevice() override;
  PosixPortDevice(const PosixPortDevice&) = delete;
  PosixPortDevice& operator=(const PosixPortDevice&) = delete;

  // Makes the stop pipe and the reader thread (waiting for ResumeReader).
  // Without them the device still works: nothing is ever queued and the
  // caller's poll runs out.
  void StartReaderThread();
  bool ResumeReader() override;
  int32_t Write(const uint8_t* bytes, int32_t count) override;

 private:
  void ReaderThreadMain();
  void ReadUntilStopped();

  const int fd_;
  PortReceiver& receiver_;
  int stopRead_ = -1;
  int stopWrite_ = -1;
  std::thread thread_;
  std::mutex startLock_;
  std::condition_variable startSignal_;
  bool resumed_ = false;
  bool stopping_ = false;
};

void PosixPortDevice::StartReaderThread() {
  int stop[2];
  if (pipe2(stop, O_CLOEXEC | O_NONBLOCK) != 0) return;
  stopRead_ = stop[0];
  stopWrite_ = stop[1];
  try {
    thread_ = std::thread(&PosixPortDevice::ReaderThreadMain, this);
  } catch (...) {
    // No reader thread: nothing will be queued and the caller's poll runs out.
  }
}

bool PosixPortDevice::ResumeReader() {
  if (!thread_.joinable()) return false;
  {
    std::lock_guard<std::mutex> lock(startLock_);
    resumed_ = true;
  }
  startSignal_.notify_one();
  return true;
}

int32_t PosixPortDevice::Write(const uint8_t* bytes, int32_t count) {
  // The same bound as the Windows write time-outs: 10 ms a byte plus 1 s.
  const int budgetMs = 1000 + 10 * count;
  int32_t written = 0;
  int waitedMs = 0;
  while (written < count) {
    const ssize_t n = write(fd_, bytes + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;  // hang-up or line failure: the poll times out
    if (waitedMs >= budgetMs) break;
    pollfd pfd{fd_, POLLOUT, 0};
    const int slice = 10;
    if (poll(&pfd, 1, slice) < 0 && errno != EINTR) break;
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
    waitedMs += slice;
  }
  return written;
}

PosixPortDevice::~PosixPortDevice() {
  {
    std::lock_guard<std::mutex> lock(startLock_);
    stopping_ = true;
  }
  startSignal_.notify_one();
  if (stopWrite_ >= 0) {
    const char stop = 1;
    (void)!write(stopWrite_, &stop, 1);
  }
  if (thread_.joinable()) thread_.join();
  (void)tcflush(fd_, TCIFLUSH);
  // TIOCEXCL outlives the close on a pty; clear it so the next open works.
  (void)ioctl(fd_, TIOCNXCL);
  CloseQuietly(fd_);
  CloseQuietly(stopRead_);
  CloseQuietly(stopWrite_);
}

void PosixPortDevice::ReaderThreadMain() {
  {
    std::unique_lock<std::mutex> lock(startLock_);
    startSignal_.wait(lock, [this] { return resumed_ || stopping_; });
    if (stopping_) return;
  }
  // Nothing may unwind out of the thread (that would end the host): without
  // memory for its buffer the thread ends, nothing is queued, and the
  // caller's poll runs out.
  try {
    ReadUntilStopped();
  } catch (...) {
  }
}

void PosixPortDevice::ReadUntilStopped() {
  std::vector<uint8_t> chunk(kMaxChunkSize);
  unsigned long errorsSeen = 0;
  const bool countsErrors = ReadErrorCount(fd_, &errorsSeen);
  bool lineUp = true;

  for (;;) {
    pollfd fds[2] = {{stopRead_, POLLIN, 0}, {fd_, POLLIN, 0}};
    // After a hang-up only the stop signal is waited for.
    const int rc = poll(fds, lineUp ? 2 : 1, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (!lineUp) continue;
    const short events = fds[1].revents;
    if (events & POLLIN) {
      if (countsErrors) {
        unsigned long errors = 0;
        if (ReadErrorCount(fd_, &errors) && errors != errorsSeen) {
          // A line error: what is waiting cannot be trusted.
          errorsSeen = errors;
          (void)tcflush(fd_, TCIFLUSH);
          receiver_.OnLineError();
          continue;
        }
      }
      const ssize_t n = read(fd_, chunk.data(), chunk.size());
      if (n > 0) {
        try {
          receiver_.OnChunk(chunk.data(), static_cast<size_t>(n));
        } catch (...) {
          receiver_.OnLineError();  // no memory for a message: drop it, keep running
        }
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      lineUp = false;  // EOF or EIO: the device went away
      continue;
    }
    if (events & (POLLHUP | POLLERR | POLLNVAL)) lineUp = false;
  }
}

}  // namespace

OpenResult OpenPortDevice(const std::string& device, PortReceiver& receiver, std::unique_ptr<PortDevice>* opened) {
  const auto fail = [](int error) { return OpenResult::Failed(KindOf(error), SystemText(error)); };

  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Another opener's TIOCEXCL refuses us here with EBUSY.
  if (fd < 0) return fail(errno);
  // Exclusive use, as on Windows: another program's lock makes the port
  // unavailable, and says so as a busy device rather than "try again".
  int error = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? EBUSY : errno;
  } else if (!SetReaderLine(fd)) {
    error = errno;  // ENOTTY: not a terminal, so not a serial port
  }
  if (error != 0) {
    CloseQuietly(fd);
    return fail(error);
  }
  (void)ioctl(fd, TIOCEXCL);
  RaiseModemLines(fd);
  RequestLowLatency(fd);
  // Purge here rather than when the thread starts, so that an answer that
  // arrives before the thread first runs is never thrown away.
  (void)tcflush(fd, TCIOFLUSH);

  std::unique_ptr<PosixPortDevice> port;
  try {
    port = std::make_unique<PosixPortDevice>(fd, receiver);
  } catch (...) {
    (void)ioctl(fd, TIOCNXCL);
    CloseQuietly(fd);
    return fail(ENOMEM);
  }
  port->StartReaderThread();
  *opened = std::move(port);
  return OpenResult();
}

}  // namespace q48
