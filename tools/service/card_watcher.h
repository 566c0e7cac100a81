// The card watcher behind GET /v1/events: while at least one listener is
// connected it reads the identity card every watch interval (through the
// reader queue, like any request) and tells each listener what changed for
// it. With no listener the reader is left alone.
//
// Everything here runs on the network thread. Only a hash of the last card
// reported to each listener is kept, never its fields.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "reader_queue.h"

namespace q48service {

// What a listener has been told so far.
struct ListenerState {
  bool cardReported = false;
  size_t card = 0;    // hash of the reported card's read-card object
  int present = -1;   // reader presence told: -1 not yet, 0 absent, 1 present
};

// The Server-Sent Events text a listener gets for one read-card result
// (`object` is its JSON text, `cardHash` that text's hash), updating
// its state; "" when nothing changed for it:
//   event: reader {"present": ...}  when presence changed (or was never told);
//   event: card   <object>          when a card is read after none, or a different one;
//   event: removed <object>         when the read fails with -6 after a card was reported.
std::string WatchEvents(ListenerState* state, int code, size_t cardHash, const std::string& object);

// A connected event stream, as the watcher sees it.
class EventListener {
 public:
  virtual ~EventListener() = default;
  // Queues text for the stream; may close the stream, which then calls
  // CardWatcher::Remove from within.
  virtual void Send(const std::string& text) = 0;
  // Ends the stream (the service stops); calls CardWatcher::Remove from within.
  virtual void End() = 0;
  ListenerState state;  // the watcher's own
};

class CardWatcher {
 public:
  CardWatcher(boost::asio::io_context& io, ReaderQueue& queue, std::chrono::milliseconds interval);
  CardWatcher(const CardWatcher&) = delete;
  CardWatcher& operator=(const CardWatcher&) = delete;

  // A new listener: it hears about the reader and the card at the next read,
  // which starts now when none is under way.
  void Add(std::shared_ptr<EventListener> listener);
  void Remove(const EventListener* listener);
  size_t Listeners() const { return listeners_.size(); }
  // Ends every listener's stream and stops the timer (shutdown).
  void Stop();

 private:
  void Schedule();
  void Tick();
  void Read();
  void OnRead(const q48tool::CommandResult& result);

  boost::asio::steady_timer timer_;
  ReaderQueue& queue_;
  const std::chrono::milliseconds interval_;
  std::vector<std::shared_ptr<EventListener>> listeners_;
  bool ticking_ = false;
  bool reading_ = false;
  bool stopped_ = false;
};

}  // namespace q48service
