// Reader commands, one at a time, in the order they came: the reader is one
// device and every exchange needs it whole.
//
// Submit, Withdraw and Waiting are called on the network thread. Each
// command runs on the queue's own worker thread, which blocks in the
// exchange (up to about 30 s). Every `done` is posted to the io_context and
// so runs, and is destroyed, on the network thread, whatever the outcome;
// the one exception is Withdraw, which is itself on that thread.
//
// A command that waits is not always wanted by the time the reader is free:
// its client may have gone (the caller withdraws it) or given up (its
// deadline passed: it is not run). Once started, a command always finishes:
// a SIM write is never cut in the middle.
#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "command.h"

namespace q48service {

constexpr size_t kMaxWaiting = 8;

class ReaderQueue {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Outcome {
    Ran,       // the result is the command's
    Expired,   // its deadline passed while it waited: not run
    Stopping,  // the service stopped while it waited: not run
  };
  // The result is empty unless the outcome is Ran.
  using Done = std::function<void(Outcome, q48tool::CommandResult)>;
  using Ticket = uint64_t;  // names a submitted command; never 0

  // `options` name the reader (device or discovery) for every command.
  ReaderQueue(boost::asio::io_context& io, q48::ExchangeOptions options, size_t maxWaiting = kMaxWaiting);
  ~ReaderQueue();  // Stop()
  ReaderQueue(const ReaderQueue&) = delete;
  ReaderQueue& operator=(const ReaderQueue&) = delete;

  // Queues the command, to run only if the reader is free before `deadline`.
  // 0, with nothing queued, when the queue stops or more than maxWaiting
  // commands already wait (not counting the one running).
  Ticket Submit(q48tool::Command command, q48tool::WriteTexts texts, Clock::time_point deadline, Done done);
  // Takes back a command that still waits: true, and its `done` is destroyed
  // unrun; false once it has started (or ended).
  bool Withdraw(Ticket ticket);
  size_t Waiting() const;
  // Answers what waits with Outcome::Stopping, lets the running command
  // finish, joins the worker. Any thread but the worker.
  void Stop();

 private:
  struct Job {
    Ticket ticket = 0;
    q48tool::Command command = q48tool::Command::List;
    q48tool::WriteTexts texts;
    Clock::time_point deadline;
    Done done;
  };
  void Work();
  void Finish(Job job, Outcome outcome, q48tool::CommandResult result);

  boost::asio::io_context& io_;
  const q48::ExchangeOptions options_;
  const size_t maxWaiting_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  Ticket lastTicket_ = 0;
  bool stopping_ = false;
  std::thread worker_;  // last: starts once the rest is ready
};

}  // namespace q48service
