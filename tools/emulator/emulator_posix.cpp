// The emulator's line on POSIX: a pty master (or any descriptor) served by a
// pump thread that waits on the line and on a wake-up pipe together.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "emulator_internal.h"

namespace q48emu {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

class PlatformLine final : public Line {
 public:
  explicit PlatformLine(Device& device) : device_(device) {
    if (::pipe(wake_) != 0) throw std::system_error(errno, std::generic_category(), "emulator wake-up pipe");
    for (int fd : wake_) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      SetNonBlocking(fd);
    }
  }

  ~PlatformLine() override {
    Stop();
    CloseLine();
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
  }

  bool OpenPty(std::string* error) override {
    const bool wasRunning = Stop();
    CloseLine();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    int slave = -1;
    std::string failure;
    if (master < 0) {
      failure = Reason("posix_openpt");
    } else if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
      failure = Reason("grantpt/unlockpt");
    } else if (::ptsname_r(master, name, sizeof name) != 0) {
      failure = Reason("ptsname");
    } else if ((slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
      failure = Reason(name);
    } else {
      // Raw, so that nothing is echoed or translated before the library sets
      // its own modes; the slave kept open spares the master a hang-up
      // whenever the library closes its port.
      termios modes{};
      if (::tcgetattr(slave, &modes) == 0) {
        ::cfmakeraw(&modes);
        ::cfsetispeed(&modes, B115200);
        ::cfsetospeed(&modes, B115200);
        ::tcsetattr(slave, TCSANOW, &modes);
      }
    }
    if (!failure.empty()) {
      CloseFd(master);
      if (error) *error = failure;
      return false;
    }
    SetNonBlocking(master);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fd_ = master;
      slaveFd_ = slave;
      slavePath_ = name;
    }
    device_.ResetStream();
    if (wasRunning) Start();
    return true;
  }

  bool OpenPort(const std::string& name, std::string* error) override {
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (error) *error = Reason(name.c_str());
      return false;
    }
    termios modes{};
    if (::tcgetattr(fd, &modes) != 0) {
      if (error) *error = Reason((name + " is no serial port").c_str());
      ::close(fd);
      return false;
    }
    ::cfmakeraw(&modes);
    modes.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    modes.c_cflag |= CLOCAL | CREAD | CS8;
    modes.c_cc[VMIN] = 1;
    modes.c_cc[VTIME] = 0;
    ::cfsetispeed(&modes, B115200);
    ::cfsetospeed(&modes, B115200);
    if (::tcsetattr(fd, TCSANOW, &modes) != 0) {
      if (error) *error = Reason((name + ": cannot set 115200 8N1").c_str());
      ::close(fd);
      return false;
    }
    // A reader that has just been switched on knows nothing of earlier bytes.
    ::tcflush(fd, TCIOFLUSH);
    ServeFd(fd);
    return true;
  }

  void ServeFd(int fd) override {
    const bool wasRunning = Stop();
    CloseLine();
    SetNonBlocking(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fd_ = fd;
      slavePath_.clear();
    }
    device_.ResetStream();
    if (wasRunning) Start();
  }

  const std::string& SlavePath() const override { return slavePath_; }

  void Start() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || fd_ < 0) return;
    stopRequested_ = false;
    hangUpRequested_ = false;
    pumping_ = true;
    thread_ = std::thread([this] { Run(); });
  }

  // Returns whether the pump was running.
  bool Stop() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!thread_.joinable()) return false;
      stopRequested_ = true;
    }
    // The pump may be in a pause or paced wait as well as in poll.
    changed_.notify_all();
    Wake();
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = false;
    outgoing_.clear();
    return true;
  }

  void SendRaw(const std::vector<uint8_t>& bytes) override {
    Plan plan;
    plan.pieces.push_back({0, bytes});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (fd_ < 0) return;
      if (pumping_) {
        outgoing_.push_back(std::move(plan));
        Wake();
        return;
      }
    }
    Execute(plan);
  }

  void HangUp() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!pumping_) {
      lock.unlock();
      CloseLine();
      return;
    }
    hangUpRequested_ = true;
    changed_.notify_all();
    Wake();
    changed_.wait(lock, [&] { return fd_ < 0 || !pumping_; });
  }

 private:
  void Wake() {
    const uint8_t byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
  }

  void DrainWake() {
    uint8_t bytes[64];
    while (::read(wake_[0], bytes, sizeof bytes) > 0) {
    }
  }

  void CloseLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseFd(fd_);
    CloseFd(slaveFd_);
    changed_.notify_all();
  }

  bool Interrupted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopRequested_ || hangUpRequested_;
  }

  bool SleepUntil(Clock::time_point deadline) override {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_until(lock, deadline, [&] { return stopRequested_ || hangUpRequested_; });
  }

  int Fd() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_;
  }

  bool WriteAll(const uint8_t* bytes, size_t count) override {
    const int fd = Fd();
    while (count > 0) {
      const ssize_t n = ::write(fd, bytes, count);
      if (n > 0) {
        bytes += n;
        count -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        device_.Log(Reason("write to the line"));
        return false;
      }
      pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
      ::poll(fds, 2, 100);
      if (Interrupted()) return false;
    }
    return true;
  }

  // Carries out one plan; false when the line is closed or the pump must end.
  bool Execute(const Plan& plan) {
    if (plan.hangUp) {
      CloseLine();
      return false;
    }
    // A failed write leaves the line to the next request; an interruption
    // ends the pump.
    return WritePlan(plan, *this) || !Interrupted();
  }

  void Run() {
    uint8_t buffer[4096];
    for (;;) {
      std::deque<Plan> work;
      int fd;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopRequested_) break;
        if (hangUpRequested_) {
          work.clear();
          Plan hangUp;
          hangUp.hangUp = true;
          work.push_back(std::move(hangUp));
        } else {
          work.swap(outgoing_);
        }
        fd = fd_;
      }
      bool serving = fd >= 0;
      for (const Plan& plan : work)
        if (serving && !Execute(plan)) serving = false;
      if (!serving || Fd() < 0) break;

      pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
        device_.Log(Reason("poll"));
        break;
      }
      if (fds[1].revents) DrainWake();
      if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        for (const Plan& plan : device_.Feed(buffer, static_cast<size_t>(n))) {
          if (serving && !Execute(plan)) serving = false;
          if (serving && !plan.pieces.empty()) device_.MarkAnswered(plan.request);
        }
        if (!serving) break;
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The other end is gone for good (a pty master only sees this when
        // no slave is open, and the emulator keeps one).
        device_.Log(n == 0 ? std::string("line closed by the other end") : Reason("read from the line"));
        break;
      }
    }
    // A hang-up that interrupted an answer still closes the line.
    bool hangUp;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hangUp = hangUpRequested_;
    }
    if (hangUp) CloseLine();
    std::lock_guard<std::mutex> lock(mutex_);
    pumping_ = false;
    changed_.notify_all();
  }

  Device& device_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int fd_ = -1;
  int slaveFd_ = -1;
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  std::thread thread_;
  bool pumping_ = false;
  bool stopRequested_ = false;
  bool hangUpRequested_ = false;
  std::deque<Plan> outgoing_;
};

std::unique_ptr<Line> MakeLine(Device& device) { return std::make_unique<PlatformLine>(device); }

}  // namespace detail


}  // namespace q48emu
