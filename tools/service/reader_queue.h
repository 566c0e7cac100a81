// Reader commands, one at a time, in the order they came: the reader is one
// device and every exchange needs it whole.
//
// Submit and Waiting are called on the network thread. Each command runs on
// the queue's own worker thread, which blocks in the exchange (up to about
// 30 s); its `done` is then posted to the io_context and so runs on the
// network thread. Commands still waiting at Stop are dropped with their
// `done` unrun.
#pragma once

#include <boost/asio/io_context.hpp>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "command.h"

namespace q48service {

constexpr size_t kMaxWaiting = 8;

class ReaderQueue {
 public:
  using Done = std::function<void(q48tool::CommandResult)>;

  // `options` name the reader (device or discovery) for every command.
  ReaderQueue(boost::asio::io_context& io, q48::ExchangeOptions options, size_t maxWaiting = kMaxWaiting);
  ~ReaderQueue();  // Stop()
  ReaderQueue(const ReaderQueue&) = delete;
  ReaderQueue& operator=(const ReaderQueue&) = delete;

  // Queues the command; false, with nothing queued, when more than
  // maxWaiting commands are already waiting (not counting the one running).
  bool Submit(q48tool::Command command, q48tool::WriteTexts texts, Done done);
  size_t Waiting() const;
  // Drops what waits, lets the running command finish, joins the worker.
  void Stop();

 private:
  struct Job {
    q48tool::Command command;
    q48tool::WriteTexts texts;
    Done done;
  };
  void Work();

  boost::asio::io_context& io_;
  const q48::ExchangeOptions options_;
  const size_t maxWaiting_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread worker_;  // last: starts once the rest is ready
};

}  // namespace q48service
