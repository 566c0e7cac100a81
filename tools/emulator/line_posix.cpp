// The emulator's line on POSIX: a pty master (or any descriptor), waited on
// together with a wake-up pipe.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "emulator.h"
#include "line.h"
#include "serial/line_settings_posix.h"

namespace q48emu {
namespace detail {

namespace {

// How long a full line is waited for before the pump looks at its state.
constexpr int kWritePollMs = 100;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

class PosixLine final : public LineBackend {
 public:
  PosixLine() {
    if (::pipe(wake_) != 0) throw std::system_error(errno, std::generic_category(), "emulator wake-up pipe");
    for (int fd : wake_) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      SetNonBlocking(fd);
    }
  }

  ~PosixLine() override {
    Close();
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
  }

  bool OpenPty(std::string* slavePath, std::string* error) override {
    Close();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    int slave = -1;
    if (master < 0) {
      *error = Reason("posix_openpt");
    } else if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
      *error = Reason("grantpt/unlockpt");
    } else if (::ptsname_r(master, name, sizeof name) != 0) {
      *error = Reason("ptsname");
    } else if ((slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
      *error = Reason(name);
    } else {
      // Raw, so that nothing is echoed or translated before the library sets
      // its own modes; the slave kept open spares the master a hang-up
      // whenever the library closes its port.
      (void)q48::SetReaderLine(slave);
      SetNonBlocking(master);
      fd_ = master;
      slaveFd_ = slave;
      *slavePath = name;
      return true;
    }
    CloseFd(master);
    return false;
  }

  bool OpenPort(const std::string& name, std::string* error) override {
    Close();
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      *error = Reason(name);
      return false;
    }
    // The library's own settings, so both ends of the cable agree.
    if (!q48::SetReaderLine(fd)) {
      *error = Reason(errno == ENOTTY ? name + " is no serial port" : name + ": cannot set 115200 8N1");
      ::close(fd);
      return false;
    }
    // A reader that has just been switched on knows nothing of earlier bytes.
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    return true;
  }

  bool Adopt(int fd, std::string*) override {
    Close();
    SetNonBlocking(fd);
    fd_ = fd;
    return true;
  }

  void Close() override {
    CloseFd(fd_);
    CloseFd(slaveFd_);
  }

  Io Read(uint8_t* buffer, size_t size, size_t* got, std::string* why) override {
    *got = 0;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) return Io::kDone;
      *why = Reason("poll");
      return Io::kFailed;
    }
    if (fds[1].revents) DrainWake();
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return Io::kDone;
    const ssize_t n = ::read(fd_, buffer, size);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return Io::kDone;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Io::kDone;
    // The other end is gone for good (a pty master only sees this when no
    // slave is open, and OpenPty keeps one).
    *why = n == 0 ? std::string("line closed by the other end") : Reason("read from the line");
    return Io::kFailed;
  }

  Io Write(const uint8_t* bytes, size_t count, size_t* written, const Interrupt& interrupted,
           std::string* why) override {
    *written = 0;
    for (;;) {
      const ssize_t n = ::write(fd_, bytes, count);
      if (n >= 0) {
        *written = static_cast<size_t>(n);
        return Io::kDone;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        *why = Reason("write to the line");
        return Io::kFailed;
      }
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
      ::poll(fds, 2, kWritePollMs);
      if (fds[1].revents) DrainWake();
      if (interrupted()) return Io::kInterrupted;
    }
  }

  void Wake() override {
    const uint8_t byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
  }

 private:
  void DrainWake() {
    uint8_t bytes[64];
    while (::read(wake_[0], bytes, sizeof bytes) > 0) {
    }
  }

  int fd_ = -1;
  int slaveFd_ = -1;
  int wake_[2] = {-1, -1};
};

}  // namespace

std::unique_ptr<LineBackend> MakeLineBackend() { return std::make_unique<PosixLine>(); }

}  // namespace detail

const LineNaming kLineNaming = {
    "Plays a Q48 reader holding a card on a new pty and prints its path.\n", "DEVICE",
    "serve this serial device (e.g. /dev/ttyUSB1, one end of a null-modem cable) instead of a new pty", true};

}  // namespace q48emu
