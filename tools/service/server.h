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
#include <memory>
#include <optional>
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

  // Takes the listening socket systemd handed over, when it did (a loopback
  // one only), else binds the listen address; false with the reason.
  // site() is then the address and port listened on (settings may ask for
  // port 0: any free one).
  bool Listen(std::string* error);
  // Whether Listen took a socket handed over by systemd.
  bool Handed() const { return handed_; }
  void Start();  // accepts until Stop
  void Stop();
  const Site& site() const { return site_; }
  // Whether an answer is still being sent (a stopping service waits for it).
  bool Answering() const { return context_.answering > 0; }
  // Since when no connection is open; nullopt while one is.
  std::optional<std::chrono::steady_clock::time_point> IdleSince() const {
    if (context_.activity->connections > 0) return std::nullopt;
    return context_.activity->idleSince;
  }

  // The connections open. Each holds it too: a connection's last handler
  // may be destroyed with the io_context, after the Server.
  struct Activity {
    int connections = 0;  // requests being read or answered, open event streams
    std::chrono::steady_clock::time_point idleSince = std::chrono::steady_clock::now();
  };

  // What each connection uses; lives as long as the Server.
  struct Context {
    const Site& site;
    ReaderQueue& queue;
    CardWatcher& watcher;
    const Limits limits;
    int answering = 0;  // answers being written
    std::shared_ptr<Activity> activity = std::make_shared<Activity>();
    bool stopping = false;  // Stop was called: no new request is taken
  };

 private:
  void Accept();

  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_;  // after a failed accept
  Site site_;
  Context context_;
  bool stopped_ = false;
  bool handed_ = false;
};

}  // namespace q48service
