// The pump: one thread that reads the line, feeds the device and carries out
// its plans, plus the calls that start, stop, interrupt and reopen it. The
// same on every platform; the line itself is a LineBackend.
#include <utility>

#include "pump.h"

namespace q48emu {
namespace detail {

class Pump::Line final : public LineIo {
 public:
  explicit Line(Pump& pump) : pump_(pump) {}
  bool WriteAll(const uint8_t* bytes, size_t count) override { return pump_.WriteAll(bytes, count); }
  bool SleepUntil(std::chrono::steady_clock::time_point deadline) override { return pump_.SleepUntil(deadline); }

 private:
  Pump& pump_;
};

Pump::Pump(Device& device) : device_(device), backend_(MakeLineBackend()) {}

Pump::~Pump() {
  std::lock_guard<std::mutex> control(control_);
  StopThread();
  CloseLine();
}

template <typename Open>
bool Pump::Reopen(Open open, std::string* error) {
  std::lock_guard<std::mutex> control(control_);
  const bool wasRunning = StopThread();
  CloseLine();
  std::string path, reason;
  const bool opened = open(&path, &reason);
  if (!opened && error) *error = reason;
  device_.ResetStream();
  std::lock_guard<std::mutex> lock(mutex_);
  slavePath_ = opened ? path : std::string();
  open_ = opened;
  if (wasRunning && opened) StartThread();
  return opened;
}

bool Pump::OpenPty(std::string* error) {
  return Reopen([&](std::string* path, std::string* reason) { return backend_->OpenPty(path, reason); }, error);
}

bool Pump::OpenPort(const std::string& name, std::string* error) {
  return Reopen([&](std::string*, std::string* reason) { return backend_->OpenPort(name, reason); }, error);
}

void Pump::ServeFd(int fd) {
  std::string reason;
  if (!Reopen([&](std::string*, std::string* why) { return backend_->Adopt(fd, why); }, &reason)) device_.Log(reason);
}

std::string Pump::SlavePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slavePath_;
}

void Pump::Start() {
  std::lock_guard<std::mutex> control(control_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!thread_.joinable() && open_) StartThread();
}

void Pump::StartThread() {
  stopRequested_ = hangUpRequested_ = false;
  pumping_ = true;
  thread_ = std::thread([this] { Run(); });
}

void Pump::Stop() {
  std::lock_guard<std::mutex> control(control_);
  StopThread();
}

bool Pump::StopThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return false;
    stopRequested_ = true;
  }
  // The pump may be in a pause or a paced wait as well as on the line.
  changed_.notify_all();
  backend_->Wake();
  thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  stopRequested_ = false;
  outgoing_.clear();
  return true;
}

void Pump::SendRaw(const std::vector<uint8_t>& bytes) {
  Plan plan;
  plan.pieces.push_back({0, bytes});
  std::lock_guard<std::mutex> control(control_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return;
    if (pumping_) {
      outgoing_.push_back(std::move(plan));
      backend_->Wake();
      return;
    }
  }
  Execute(plan);
}

void Pump::HangUp() {
  std::lock_guard<std::mutex> control(control_);
  std::unique_lock<std::mutex> lock(mutex_);
  if (!pumping_) {
    lock.unlock();
    CloseLine();
    return;
  }
  hangUpRequested_ = true;
  changed_.notify_all();
  backend_->Wake();
  changed_.wait(lock, [&] { return !open_ || !pumping_; });
}

void Pump::CloseLine() {
  backend_->Close();
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
  changed_.notify_all();
}

bool Pump::Interrupted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopRequested_ || hangUpRequested_;
}

bool Pump::SleepUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_until(lock, deadline, [&] { return stopRequested_ || hangUpRequested_; });
}

bool Pump::WriteAll(const uint8_t* bytes, size_t count) {
  const LineBackend::Interrupt interrupted = [this] { return Interrupted(); };
  while (count > 0) {
    size_t written = 0;
    std::string why;
    switch (backend_->Write(bytes, count, &written, interrupted, &why)) {
      case LineBackend::Io::kDone:
        bytes += written;
        count -= written;
        if (written == 0 && Interrupted()) return false;
        break;
      case LineBackend::Io::kInterrupted:
        return false;
      case LineBackend::Io::kFailed:
        device_.Log(why);
        return false;
    }
  }
  return true;
}

// Carries out one plan; false when the pump must end (the line closed, a
// stop or a hang-up).
bool Pump::Execute(const Plan& plan) {
  if (plan.hangUp) {
    CloseLine();
    return false;
  }
  Line line(*this);
  if (WritePlan(plan, line)) {
    if (plan.request != SIZE_MAX && !plan.pieces.empty()) device_.MarkAnswered(plan.request);
    return true;
  }
  // A failed write leaves the line to the next request; an interruption
  // ends the pump.
  return !Interrupted();
}

void Pump::Run() {
  uint8_t buffer[4096];
  for (;;) {
    std::deque<Plan> work;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopRequested_) break;
      if (hangUpRequested_) {
        Plan hangUp;
        hangUp.hangUp = true;
        work.push_back(std::move(hangUp));
      } else {
        work.swap(outgoing_);
      }
    }
    bool serving = true;
    for (const Plan& plan : work)
      if (serving && !Execute(plan)) serving = false;
    if (!serving) break;

    size_t got = 0;
    std::string why;
    if (backend_->Read(buffer, sizeof buffer, &got, &why) == LineBackend::Io::kFailed) {
      device_.Log(why);
      break;
    }
    if (got == 0) continue;
    for (const Plan& plan : device_.Feed(buffer, got))
      if (serving && !Execute(plan)) serving = false;
    if (!serving) break;
  }
  // A hang-up that interrupted an answer still closes the line.
  bool hangUp;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hangUp = hangUpRequested_ && open_;
  }
  if (hangUp) CloseLine();
  std::lock_guard<std::mutex> lock(mutex_);
  pumping_ = false;
  changed_.notify_all();
}

}  // namespace detail
}  // namespace q48emu
