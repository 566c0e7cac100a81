// The HTTP side of q48-service on Boost.Beast: accepts connections on the
// loopback address, reads each request within its limits (8 KiB of header,
// 4 KiB of body, an idle timeout), passes it through the Host and Origin
// gates, and answers from the built-in files, the reader queue or the card
// watcher. Logs one line per request to standard error.
//
// Everything here runs on the one thread that runs the io_context; the
// reader queue's results come back to that thread, and every connection's
// session is made and destroyed on it. A connection whose reader command
// still waits is watched: when its client leaves, the command is withdrawn.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <string>

#include "card_watcher.h"
#include "gates.h"
#include "reader_queue.h"
#include "settings.h"

namespace q48service {

struct Limits {
  std::chrono::milliseconds idle{std::chrono::seconds(10)};   // to receive a whole request header
  std::chrono::milliseconds write{std::chrono::seconds(10)};  // to send a response or an event
};

class Server {
 public:
  Server(boost::asio::io_context& io, const Settings& settings, ReaderQueue& queue, CardWatcher& watcher,
         Limits limits = Limits());
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds the listen address; false with the reason. site().port is then
  // the port listened on (settings may ask for 0: any free one).
  bool Listen(std::string* error);
  void Start();  // accepts until Stop
  void Stop();
  const Site& site() const { return site_; }
  // Whether an answer is still being sent (a stopping service waits for it).
  bool Answering() const { return context_.answering > 0; }

  // What each connection uses; lives as long as the Server.
  struct Context {
    const Site& site;
    ReaderQueue& queue;
    CardWatcher& watcher;
    const Limits limits;
    int answering = 0;  // answers being written
    bool stopping = false;  // Stop was called: no new request is taken
  };

 private:
  void Accept();

  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_;  // after a failed accept
  Site site_;
  Context context_;
  bool stopped_ = false;
};

}  // namespace q48service
