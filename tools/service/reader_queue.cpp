#include "reader_queue.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <exception>

#include "Q48Reader.h"

namespace q48service {

ReaderQueue::ReaderQueue(boost::asio::io_context& io, q48::ExchangeOptions options, size_t maxWaiting)
    : io_(io), options_(std::move(options)), maxWaiting_(maxWaiting), worker_([this] { Work(); }) {}

ReaderQueue::~ReaderQueue() { Stop(); }

ReaderQueue::Ticket ReaderQueue::Submit(q48tool::Command command, q48tool::WriteTexts texts,
                                        Clock::time_point deadline, Done done) {
  Ticket ticket = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || jobs_.size() > maxWaiting_) return 0;
    ticket = ++lastTicket_;
    jobs_.push_back({ticket, command, std::move(texts), deadline, std::move(done)});
  }
  wake_.notify_one();
  return ticket;
}

bool ReaderQueue::Withdraw(Ticket ticket) {
  Job withdrawn;  // destroyed after the lock is released: its `done` may hold a session
  std::lock_guard<std::mutex> lock(mutex_);
  const auto job = std::find_if(jobs_.begin(), jobs_.end(), [ticket](const Job& j) { return j.ticket == ticket; });
  if (job == jobs_.end()) return false;
  withdrawn = std::move(*job);
  jobs_.erase(job);
  return true;
}

size_t ReaderQueue::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size();
}

void ReaderQueue::Stop() {
  std::deque<Job> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    waiting.swap(jobs_);
  }
  wake_.notify_one();
  // Answered now, not after the running command: their clients need not wait for it.
  for (Job& job : waiting) Finish(std::move(job), Outcome::Stopping, {});
  if (worker_.joinable()) worker_.join();
}

// The `done` moves into the posted handler, so that it runs and is destroyed
// on the network thread.
void ReaderQueue::Finish(Job job, Outcome outcome, q48tool::CommandResult result) {
  boost::asio::post(io_, [done = std::move(job.done), outcome, result = std::move(result)]() mutable {
    done(outcome, std::move(result));
  });
}

void ReaderQueue::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    // Its client has given up on it: a write now would be one the page reported as failed.
    if (Clock::now() >= job.deadline) {
      Finish(std::move(job), Outcome::Expired, {});
      continue;
    }
    q48tool::CommandResult result;
    try {
      result = q48tool::RunCommand(job.command, options_, job.texts);
    } catch (const std::exception&) {
      // Out of memory while building the answer: the caller still gets one.
      result.code = Q48_ERR_TIMEOUT;
      result.explanation = {q48tool::CodeName(result.code), "the service ran out of memory", q48tool::kExitTimeout};
      result.object = q48tool::ResultObject(job.command, result.code, result.explanation, nlohmann::ordered_json::object());
    }
    Finish(std::move(job), Outcome::Ran, std::move(result));
  }
}

}  // namespace q48service
