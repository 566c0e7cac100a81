#include "card_watcher.h"

#include <algorithm>
#include <functional>

#include "Q48Reader.h"

namespace q48service {

namespace {

std::string Event(const char* name, const std::string& data) {
  return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

}  // namespace

std::string WatchEvents(ListenerState* state, int code, size_t cardHash, const std::string& object) {
  std::string out;
  // The reader answered (a card or none): it is there. No reader, or no
  // answer: it is not, and a card it had is forgotten, to be reported again
  // when the reader is back.
  const bool answered = code == Q48_OK || code == Q48_ERR_READ_CARD;
  const bool absent = code == Q48_ERR_NO_READER || code == Q48_ERR_TIMEOUT;
  if ((answered || absent) && state->present != (answered ? 1 : 0)) {
    state->present = answered ? 1 : 0;
    out += Event("reader", answered ? "{\"present\":true}" : "{\"present\":false}");
  }
  if (code == Q48_OK && (!state->cardReported || state->card != cardHash)) {
    state->cardReported = true;
    state->card = cardHash;
    out += Event("card", object);
  } else if (code == Q48_ERR_READ_CARD && state->cardReported) {
    state->cardReported = false;
    out += Event("removed", object);
  } else if (absent) {
    state->cardReported = false;
  }
  return out;
}

CardWatcher::CardWatcher(boost::asio::io_context& io, ReaderQueue& queue, std::chrono::milliseconds interval)
    : timer_(io), queue_(queue), interval_(interval) {}

void CardWatcher::Add(std::shared_ptr<EventListener> listener) {
  if (stopped_) return;
  listeners_.push_back(std::move(listener));
  if (!reading_) Read();
  if (!ticking_) Schedule();
}

void CardWatcher::Remove(const EventListener* listener) {
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [listener](const auto& l) { return l.get() == listener; }),
                   listeners_.end());
  if (listeners_.empty() && ticking_) {
    ticking_ = false;
    timer_.cancel();
  }
}

void CardWatcher::Stop() {
  stopped_ = true;
  ticking_ = false;
  timer_.cancel();
  const auto listeners = std::move(listeners_);
  listeners_.clear();
  for (const auto& listener : listeners) listener->End();
}

void CardWatcher::Schedule() {
  ticking_ = true;
  timer_.expires_after(interval_);
  timer_.async_wait([this](const boost::system::error_code& ec) {
    // A cancelled wait, or one that ran out just as the last listener left.
    if (ec || !ticking_) return;
    Tick();
  });
}

void CardWatcher::Tick() {
  // A comment line each interval: a listener that has gone fails the write
  // and is removed, so the reader is not read for nobody.
  const auto listeners = listeners_;  // Send may remove
  for (const auto& listener : listeners) listener->Send(":\n\n");
  if (listeners_.empty()) {
    ticking_ = false;
    return;
  }
  if (!reading_) Read();
  Schedule();
}

void CardWatcher::Read() {
  // A full queue skips this round; the next tick tries again.
  reading_ = queue_.Submit(q48tool::Command::ReadCard, {}, ReaderQueue::Clock::time_point::max(),
                           [this](ReaderQueue::Outcome outcome, q48tool::CommandResult result) {
                             reading_ = false;
                             if (outcome == ReaderQueue::Outcome::Ran) OnRead(result);
                           }) != 0;
}

void CardWatcher::OnRead(const q48tool::CommandResult& result) {
  if (stopped_ || listeners_.empty()) return;
  const std::string object = q48tool::Dump(result.object);
  // Beside the fields, a successful read's object holds only what is the same
  // for every card, so its hash tells cards apart.
  const size_t cardHash = result.code == Q48_OK ? std::hash<std::string>{}(object) : 0;
  const auto listeners = listeners_;  // Send may remove
  for (const auto& listener : listeners) {
    const std::string events = WatchEvents(&listener->state, result.code, cardHash, object);
    if (!events.empty()) listener->Send(events);
  }
}

}  // namespace q48service
