#include "reader_queue.h"

#include <boost/asio/post.hpp>
#include <exception>

#include "Q48Reader.h"

namespace q48service {

ReaderQueue::ReaderQueue(boost::asio::io_context& io, q48::ExchangeOptions options, size_t maxWaiting)
    : io_(io), options_(std::move(options)), maxWaiting_(maxWaiting), worker_([this] { Work(); }) {}

ReaderQueue::~ReaderQueue() { Stop(); }

bool ReaderQueue::Submit(q48tool::Command command, q48tool::WriteTexts texts, Done done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || jobs_.size() > maxWaiting_) return false;
    jobs_.push_back({command, std::move(texts), std::move(done)});
  }
  wake_.notify_one();
  return true;
}

size_t ReaderQueue::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size();
}

void ReaderQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_one();
  if (worker_.joinable()) worker_.join();
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
    q48tool::CommandResult result;
    try {
      result = q48tool::RunCommand(job.command, options_, job.texts);
    } catch (const std::exception&) {
      // Out of memory while building the answer: the caller still gets one.
      result.code = Q48_ERR_TIMEOUT;
      result.explanation = {q48tool::CodeName(result.code), "the service ran out of memory", q48tool::kExitTimeout};
      result.object = q48tool::ResultObject(job.command, result.code, result.explanation, nlohmann::ordered_json::object());
    }
    boost::asio::post(io_, [done = std::move(job.done), result = std::move(result)]() mutable {
      done(std::move(result));
    });
  }
}

}  // namespace q48service
