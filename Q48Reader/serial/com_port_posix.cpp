// ComPort on POSIX: termios, an exclusive open, and a reader thread that
// waits on the port and on a stop pipe together.
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

#include "com_port.h"

namespace q48 {

namespace {

bool ConfigureLine(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;  // not a terminal: not a serial port
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0) return false;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

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

}  // namespace

struct ComPort::Platform {
  int fd = -1;
  int stopRead = -1;
  int stopWrite = -1;
  std::thread thread;
  std::mutex startLock;
  std::condition_variable startSignal;
  bool resumed = false;
  bool stopping = false;

  static void ReaderThreadMain(ComPort* port, Platform* platform);
};

std::string ComPort::DeviceName(int32_t portNumber, const std::string& directory) {
  return directory + "/ttyUSB" + std::to_string(portNumber);
}

bool ComPort::OpenDevice(const std::string& device, std::string* reason, OpenFailureKind* kind) {
  const auto fail = [reason, kind](int error) {
    *reason = SystemText(error);
    *kind = KindOf(error);
    return false;
  };

  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Another opener's TIOCEXCL refuses us here with EBUSY.
  if (fd < 0) return fail(errno);
  // Exclusive use, as on Windows: another program's lock makes the port
  // unavailable, and says so as a busy device rather than "try again".
  int error = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? EBUSY : errno;
  } else if (!ConfigureLine(fd)) {
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

  auto* platform = new (std::nothrow) Platform;
  if (platform == nullptr) {
    (void)ioctl(fd, TIOCNXCL);
    CloseQuietly(fd);
    return fail(ENOMEM);
  }
  platform->fd = fd;
  platform_ = platform;
  int stop[2];
  if (pipe2(stop, O_CLOEXEC | O_NONBLOCK) == 0) {
    platform->stopRead = stop[0];
    platform->stopWrite = stop[1];
    try {
      platform->thread = std::thread(&Platform::ReaderThreadMain, this, platform);
    } catch (...) {
      // No reader thread: nothing will be queued and the caller's poll runs out.
    }
  }
  return true;
}

bool ComPort::ResumeReader() {
  if (platform_ == nullptr || !platform_->thread.joinable()) return false;
  {
    std::lock_guard<std::mutex> lock(platform_->startLock);
    platform_->resumed = true;
  }
  platform_->startSignal.notify_one();
  return true;
}

int32_t ComPort::Write(const uint8_t* bytes, int32_t count) {
  if (platform_ == nullptr || bytes == nullptr || count <= 0) return 0;
  const int fd = platform_->fd;
  // The same bound as the Windows write time-outs: 10 ms a byte plus 1 s.
  const int budgetMs = 1000 + 10 * count;
  int32_t written = 0;
  int waitedMs = 0;
  while (written < count) {
    const ssize_t n = write(fd, bytes + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;  // hang-up or line failure: the poll times out
    if (waitedMs >= budgetMs) break;
    pollfd pfd{fd, POLLOUT, 0};
    const int slice = 10;
    if (poll(&pfd, 1, slice) < 0 && errno != EINTR) break;
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
    waitedMs += slice;
  }
  return written;
}

void ComPort::Close() {
  if (platform_ == nullptr) return;
  Platform& p = *platform_;
  {
    std::lock_guard<std::mutex> lock(p.startLock);
    p.stopping = true;
  }
  p.startSignal.notify_one();
  if (p.stopWrite >= 0) {
    const char stop = 1;
    (void)!write(p.stopWrite, &stop, 1);
  }
  if (p.thread.joinable()) p.thread.join();
  (void)tcflush(p.fd, TCIFLUSH);
  // TIOCEXCL outlives the close on a pty; clear it so the next open works.
  (void)ioctl(p.fd, TIOCNXCL);
  CloseQuietly(p.fd);
  CloseQuietly(p.stopRead);
  CloseQuietly(p.stopWrite);
  delete platform_;
  platform_ = nullptr;
}

void ComPort::Platform::ReaderThreadMain(ComPort* port, Platform* platform) {
  Platform& p = *platform;
  {
    std::unique_lock<std::mutex> lock(p.startLock);
    p.startSignal.wait(lock, [&p] { return p.resumed || p.stopping; });
    if (p.stopping) return;
  }

  std::vector<uint8_t> chunk(kMaxChunkSize);
  unsigned long errorsSeen = 0;
  const bool countsErrors = ReadErrorCount(p.fd, &errorsSeen);
  bool lineUp = true;

  for (;;) {
    pollfd fds[2] = {{p.stopRead, POLLIN, 0}, {p.fd, POLLIN, 0}};
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
        if (ReadErrorCount(p.fd, &errors) && errors != errorsSeen) {
          // A line error: what is waiting cannot be trusted.
          errorsSeen = errors;
          (void)tcflush(p.fd, TCIFLUSH);
          port->OnLineError();
          continue;
        }
      }
      const ssize_t n = read(p.fd, chunk.data(), chunk.size());
      if (n > 0) {
        try {
          port->OnChunk(chunk.data(), static_cast<size_t>(n));
        } catch (...) {
          port->OnLineError();  // no memory for a message: drop it, keep running
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

}  // namespace q48
