#include "server.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/http/message_generator.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>

#include "log.h"
#include "routes.h"
#include "service_platform.h"

namespace q48service {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kHeaderLimit = 8192;
constexpr size_t kMaxPendingEventBytes = 1 << 20;  // a listener that far behind is dropped
constexpr const char* kRetryAfterSeconds = "1";
// The page loads only its own files; the portrait is a data: URL; no site
// may frame it.
constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// A header value for the log: printable ASCII only, bounded.
std::string Printable(beast::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 200)) {
    if (c >= 0x20 && c < 0x7F) {
      out += c;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      out += hex;
    }
  }
  return out;
}

// One line per request: method, path (never the query, which a page could
// fill with anything), status (or "dropped": its client left before its
// command ran; "unanswered": after), duration, origin. Never a field or a body.
void LogRequest(beast::string_view method, beast::string_view target, const std::string& status,
                Clock::time_point start, beast::string_view origin) {
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  const std::string path = Printable(target.substr(0, target.find('?')));
  q48tool::Log::Process().Write((method.empty() ? "-" : Printable(method)) + " " + (path.empty() ? "-" : path) + " " +
                                status + " " + std::to_string(ms) + "ms origin=" +
                                (origin.empty() ? "-" : Printable(origin)));
}

// Counts a live connection (a request being read or answered, an open event
// stream) for as long as it exists: the idle exit waits until there is none.
class Counted {
 public:
  explicit Counted(const Server::Context& context) : activity_(context.activity) { ++activity_->connections; }
  ~Counted() {
    if (--activity_->connections == 0) activity_->idleSince = Clock::now();
  }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

 private:
  const std::shared_ptr<Server::Activity> activity_;
};

// An open Server-Sent Events stream: queued texts written in order, each
// write bounded in time; a read that only notices the peer going away.
class EventStream : public EventListener, public std::enable_shared_from_this<EventStream> {
 public:
  EventStream(tcp::socket socket, Server::Context& context)
      : counted_(context),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        watcher_(context.watcher),
        writeLimit_(context.limits.write) {}

  void Start(std::string header) {
    Send(header + "retry: 2000\n\n");
    WatchForClose();
    watcher_.Add(shared_from_this());
  }

  void End() override { Close(); }

  void Send(const std::string& text) override {
    if (closed_) return;
    pendingBytes_ += text.size();
    pending_.push_back(text);
    if (pendingBytes_ > kMaxPendingEventBytes) return Close();
    if (!writing_) WriteNext();
  }

 private:
  void WriteNext() {
    if (closed_ || pending_.empty()) return;
    writing_ = true;
    const unsigned write = ++writes_;
    timer_.expires_after(writeLimit_);
    timer_.async_wait([self = shared_from_this(), write](const beast::error_code& ec) {
      if (!ec && self->writing_ && self->writes_ == write) self->Close();  // the peer stopped reading
    });
    net::async_write(socket_, net::buffer(pending_.front()),
                     [self = shared_from_this()](const beast::error_code& ec, size_t) {
                       self->writing_ = false;
                       self->timer_.cancel();
                       if (ec) return self->Close();
                       self->pendingBytes_ -= self->pending_.front().size();
                       self->pending_.pop_front();
                       self->WriteNext();
                     });
  }

  void WatchForClose() {
    socket_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](const beast::error_code& ec, size_t) {
      if (ec) return self->Close();
      self->WatchForClose();  // a client has nothing to say here; ignore it
    });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
    pending_.clear();
    watcher_.Remove(this);
  }

  Counted counted_;
  tcp::socket socket_;
  net::steady_timer timer_;
  CardWatcher& watcher_;
  const std::chrono::milliseconds writeLimit_;
  std::deque<std::string> pending_;
  size_t pendingBytes_ = 0;
  unsigned writes_ = 0;
  bool writing_ = false;
  bool closed_ = false;
  char scratch_[256];
};

// RFC 9112 6.3: a request body is delimited by Content-Length or by the
// chunked coding alone. Any other Transfer-Encoding (another coding, or
// chunked not last) leaves its length unknown, and the bytes after the
// header must not be read as another request; HTTP/1.0 has no codings.
bool FramingSound(const http::request_header<>& request) {
  const auto [first, last] = request.equal_range(http::field::transfer_encoding);
  if (first == last) return true;
  size_t codings = 0, chunked = 0;
  for (auto field = first; field != last; ++field)
    for (const auto& coding : http::token_list(field->value())) {
      ++codings;
      if (beast::iequals(coding, "chunked")) ++chunked;
    }
  return request.version() >= 11 && codings == 1 && chunked == 1;
}

// Who asks, as far as the gates and the CORS headers are concerned: read
// once per request, before any answer to it is made.
struct Caller {
  std::string origin;     // the Origin value; "" when there is none
  bool hasOrigin = false;
  bool allowed = false;   // it has an Origin, and one that is allowed
  size_t origins = 0;     // Origin fields: more than one is refused
  std::string fetchSite;  // Sec-Fetch-Site; "" when there is none
  size_t fetchSites = 0;
};

Caller ReadCaller(const http::request_header<>& request, const Site& site) {
  Caller caller;
  caller.origins = request.count(http::field::origin);
  if (const auto origin = request.find(http::field::origin); origin != request.end()) {
    caller.origin = std::string(origin->value());
    caller.hasOrigin = true;
  }
  caller.allowed = caller.hasOrigin && caller.origins == 1 && OriginAllowed(caller.origin, site);
  caller.fetchSites = request.count("Sec-Fetch-Site");
  caller.fetchSite = std::string(request["Sec-Fetch-Site"]);
  return caller;
}

// One connection: requests read and answered in turn (keep-alive).
//
// While a reader command waits for its turn or runs, the connection is read
// too, to notice the client leaving: a command that has not started is then
// taken back from the queue (a write the page already reported as failed must
// not happen later). Bytes that come meanwhile (a pipelined request) stay in
// the buffer for afterwards. A client that half-closes counts as gone.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, Server::Context& context)
      : counted_(context), stream_(std::move(socket)), context_(context) {}

  void Start() { ReadHeader(); }

 private:
  using Response = http::response<http::string_body>;
  // What follows an answer once it is written.
  enum class Next { Nothing, ReadHeader, Linger };

  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(boost::none);  // checked after the gates, so that they come first
    caller_ = Caller();
    stream_.expires_after(context_.limits.idle);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    start_ = Clock::now();
    if (ec) return OnReadError(ec);
    const auto& request = parser_->get();
    caller_ = ReadCaller(request, context_.site);  // first: every answer below depends on it
    // A request that came on an open connection after Stop: the answers
    // already under way are still sent, nothing new is started.
    if (context_.stopping) return RefuseStopping();
    if (!FramingSound(request))
      return Refuse(http::status::bad_request, "Transfer-Encoding must be chunked alone", true);
    // The gates, before anything else is done. A second Host, Origin or
    // Sec-Fetch-Site could make this service and a browser disagree on which counts.
    if (request.count(http::field::host) != 1 || caller_.origins > 1 ||
        !HostAllowed(request[http::field::host], context_.site))
      return Refuse(http::status::forbidden, "this service answers only to a loopback Host with its port", true);
    if (caller_.hasOrigin && !caller_.allowed)
      return Refuse(http::status::forbidden, "this origin is not allowed to use the reader", true);
    if (caller_.fetchSites > 1 || !FetchSiteAllowed(caller_.fetchSite, caller_.allowed))
      return Refuse(http::status::forbidden, "a page of another site may not use the reader", true);
    if (parser_->content_length() && *parser_->content_length() > kMaxBody)
      return Refuse(http::status::payload_too_large, "the body is larger than 4 KiB", true);
    parser_->body_limit(kMaxBody);  // a chunked body
    if (parser_->is_done()) return OnBody({});
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code e, size_t) {
      self->OnBody(e);
    });
  }

  void OnBody(beast::error_code ec) {
    if (ec == http::error::body_limit)
      return Refuse(http::status::payload_too_large, "the body is larger than 4 KiB", true);
    if (ec) return OnReadError(ec);
    if (context_.stopping) return RefuseStopping();  // the body came after Stop
    stream_.expires_never();  // a reader command may take its time
    const auto& request = parser_->get();
    Route route = Classify(request.method_string(), request.target(), request[http::field::content_type],
                           request.body());
    switch (route.kind) {
      case RouteKind::Refused: {
        Response response = JsonResponse(static_cast<http::status>(route.status), ErrorBody(route.error));
        if (route.status == 405) response.set(http::field::allow, route.allow);
        return Send(std::move(response), false);
      }
      case RouteKind::Preflight: return Preflight(route);
      case RouteKind::Asset: return SendAsset(route);
      case RouteKind::Events: return StartEvents();
      case RouteKind::Reader: return RunReader(std::move(route));
    }
  }

  // Nothing to answer for an idle or vanished client; a malformed or
  // oversized request gets a status and the connection is closed.
  void OnReadError(beast::error_code ec) {
    if (ec == http::error::header_limit) return ReadToEndOfHeader();
    if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == net::error::eof ||
        ec == net::error::connection_reset || ec == net::error::operation_aborted || ec == http::error::partial_message)
      return Close();
    if (!parser_->is_header_done()) caller_ = RefusedHeaderCaller();
    return Refuse(http::status::bad_request, "malformed request", true);
  }

  // A header over the limit: the parser stops where it passes the limit, but
  // its Origin may come further on. The rest is read (to twice the limit,
  // within the same idle timeout) so that an allowed page can read the 431.
  void ReadToEndOfHeader() {
    const std::string_view received(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    if (received.find("\r\n\r\n") == std::string_view::npos && buffer_.size() < 2 * kHeaderLimit) {
      stream_.async_read_some(buffer_.prepare(2 * kHeaderLimit - buffer_.size()),
                              [self = shared_from_this()](beast::error_code ec, size_t n) {
                                self->buffer_.commit(n);
                                if (!ec) return self->ReadToEndOfHeader();
                                self->RefuseTooLarge();
                              });
      return;
    }
    RefuseTooLarge();
  }

  void RefuseTooLarge() {
    caller_ = RefusedHeaderCaller();
    Refuse(http::status::request_header_fields_too_large, "the header is larger than 8 KiB", true);
  }

  // The Origin of a header the parser refused, for the refusal's CORS
  // headers: among the fields it took before it stopped and the lines it left
  // in the buffer (the request line too, when it stopped there).
  Caller RefusedHeaderCaller() const {
    std::vector<std::string> origins;
    const auto& taken = parser_->get();
    for (auto [field, last] = taken.equal_range(http::field::origin); field != last; ++field)
      origins.emplace_back(field->value());
    std::string_view rest(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    if (taken.method_string().empty()) rest.remove_prefix(rest.find('\n') + 1);  // no '\n': nothing
    for (std::string& origin : OriginsInRawFields(rest)) origins.push_back(std::move(origin));
    Caller caller;
    caller.origins = origins.size();
    if (origins.size() != 1) return caller;
    caller.origin = origins.front();
    caller.hasOrigin = true;
    caller.allowed = OriginAllowed(caller.origin, context_.site);
    return caller;
  }

  static std::string ErrorBody(const std::string& error) { return nlohmann::json{{"error", error}}.dump(); }

  Response JsonResponse(http::status status, std::string body) {
    Response response{status, Version()};
    response.set(http::field::content_type, "application/json; charset=utf-8");
    response.body() = std::move(body);
    return response;
  }

  void Refuse(http::status status, const std::string& error, bool close) {
    Response response = JsonResponse(status, ErrorBody(error));
    Send(std::move(response), close);
  }

  void RefuseStopping() { Refuse(http::status::service_unavailable, "the service is stopping", true); }

  // The reader cannot take the request now; a page's script may read when to ask again.
  void Busy(const std::string& error) {
    Response response = JsonResponse(http::status::service_unavailable, ErrorBody(error));
    response.set(http::field::retry_after, kRetryAfterSeconds);
    response.set(http::field::access_control_expose_headers, "Retry-After");
    Send(std::move(response), false);
  }

  unsigned Version() const { return parser_ && parser_->get().version() == 10 ? 10 : 11; }

  // Headers every response carries; the CORS ones only for an allowed origin.
  void AddCommonHeaders(http::header<false>& header) const {
    header.set(http::field::cache_control, "no-store");
    header.set("X-Content-Type-Options", "nosniff");
    header.set("Content-Security-Policy", kContentSecurityPolicy);
    if (caller_.allowed) {
      header.set(http::field::access_control_allow_origin, caller_.origin);
      header.set(http::field::vary, "Origin");
    }
  }

  void Preflight(const Route& route) {
    const auto& request = parser_->get();
    Response response{http::status::no_content, Version()};
    response.set(http::field::allow, route.allow);
    if (caller_.allowed) {
      response.set(http::field::access_control_allow_methods, route.allow);
      response.set(http::field::access_control_allow_headers, "Content-Type");
      response.set(http::field::access_control_max_age, "600");
      const auto privateNetwork = request.find("Access-Control-Request-Private-Network");
      if (privateNetwork != request.end() && beast::iequals(privateNetwork->value(), "true"))
        response.set("Access-Control-Allow-Private-Network", "true");
    }
    Send(std::move(response), false);
  }

  void SendAsset(const Route& route) {
    Response response{http::status::ok, Version()};
    response.set(http::field::content_type, route.asset->contentType);
    response.body().assign(reinterpret_cast<const char*>(route.asset->data), route.asset->size);
    Send(std::move(response), false);
  }

  void RunReader(Route route) {
    const Clock::time_point deadline = route.timeout ? start_ + *route.timeout : Clock::time_point::max();
    ticket_ = context_.queue.Submit(*route.command, std::move(route.texts), deadline,
                                    [self = shared_from_this()](ReaderQueue::Outcome outcome,
                                                                q48tool::CommandResult result) {
                                      self->OnReaderDone(outcome, std::move(result));
                                    });
    if (ticket_ == 0) return Busy("the reader is busy: too many requests are waiting");
    WatchForLeaving();
  }

  void OnReaderDone(ReaderQueue::Outcome outcome, q48tool::CommandResult result) {
    ticket_ = 0;
    if (gone_) {
      const auto& request = parser_->get();
      LogRequest(request.method_string(), request.target(),
                 outcome == ReaderQueue::Outcome::Ran ? "unanswered" : "dropped", start_, caller_.origin);
      return Close();
    }
    // The next request is read once this answer is written.
    if (watching_) stream_.socket().cancel();
    switch (outcome) {
      case ReaderQueue::Outcome::Ran:
        return Send(JsonResponse(http::status::ok, q48tool::Dump(result.object)), false);
      case ReaderQueue::Outcome::Expired: return Busy("the reader was not free before the request's timeout");
      case ReaderQueue::Outcome::Stopping: return RefuseStopping();
    }
  }

  // Reads while the command waits or runs; bounded, so that a client cannot
  // queue up more than one more request's worth.
  void WatchForLeaving() {
    if (buffer_.size() > kHeaderLimit + kMaxBody) return;
    watching_ = true;
    stream_.async_read_some(buffer_.prepare(512), [self = shared_from_this()](beast::error_code ec, size_t n) {
      self->watching_ = false;
      self->buffer_.commit(n);
      if (self->ticket_ == 0) return self->Continue();  // answered meanwhile
      if (!ec) return self->WatchForLeaving();
      self->OnLeft();
    });
  }

  // The client closed its connection (or reset it) before the answer.
  void OnLeft() {
    if (!context_.queue.Withdraw(ticket_)) {
      gone_ = true;  // it runs, and finishes; nobody is answered
      return;
    }
    ticket_ = 0;
    const auto& request = parser_->get();
    LogRequest(request.method_string(), request.target(), "dropped", start_, caller_.origin);
    Close();
  }

  void StartEvents() {
    const auto& request = parser_->get();
    http::response<http::empty_body> response{http::status::ok, Version()};
    response.set(http::field::content_type, "text/event-stream");
    response.keep_alive(false);  // the body runs until either side closes
    AddCommonHeaders(response.base());
    std::ostringstream header;
    header << response.base();
    LogRequest(request.method_string(), request.target(), "200", start_, caller_.origin);
    auto events = std::make_shared<EventStream>(stream_.release_socket(), context_);
    events->Start(header.str());
  }

  void Send(Response response, bool close) {
    const auto& request = parser_->get();
    AddCommonHeaders(response.base());
    close = close || !request.keep_alive() || context_.stopping;
    response.keep_alive(!close);
    if (!response.has_content_length() && !response.chunked()) response.prepare_payload();
    LogRequest(request.method_string(), request.target(), std::to_string(response.result_int()), start_,
               caller_.origin);
    // Whatever the status, the answer to HEAD is the header alone (its
    // Content-Length that of the body GET would get): a body would be read
    // as the start of the next answer on this connection.
    http::message_generator message =
        request.method() == http::verb::head
            ? http::message_generator(http::response<http::empty_body>(std::move(response.base())))
            : http::message_generator(std::move(response));
    stream_.expires_after(context_.limits.write);
    ++context_.answering;
    beast::async_write(stream_, std::move(message), [self = shared_from_this(), close](beast::error_code ec, size_t) {
      --self->context_.answering;
      if (ec) return self->Close();
      self->next_ = close ? Next::Linger : Next::ReadHeader;
      self->Continue();
    });
  }

  // After an answer: read the next request, or linger and close; once the
  // read that watched for the client leaving has ended, as one read at a time may run.
  void Continue() {
    if (watching_) return;  // its handler comes back here
    switch (std::exchange(next_, Next::Nothing)) {
      case Next::Nothing: return;
      case Next::ReadHeader: return ReadHeader();
      case Next::Linger: return Linger();
    }
  }

  // After a refusal the client may still be sending: stop our side, read
  // what comes for a moment, then close, so that it sees the answer rather
  // than a reset.
  void Linger() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(std::chrono::seconds(2));
    Drain();
  }

  void Drain() {
    stream_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->Close();
      self->Drain();
    });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  Counted counted_;
  beast::tcp_stream stream_;
  Server::Context& context_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Caller caller_;
  ReaderQueue::Ticket ticket_ = 0;  // the command queued or running for this request
  bool watching_ = false;           // a read watches for the client leaving
  bool gone_ = false;               // the client left while its command ran
  Next next_ = Next::Nothing;
  Clock::time_point start_ = Clock::now();
  char scratch_[512];
};

}  // namespace

Server::Server(net::io_context& io, const Settings& settings, ReaderQueue& queue, CardWatcher& watcher, Limits limits)
    : acceptor_(io), retry_(io), site_{settings.listenHost, settings.listenPort, settings.allowedOrigins},
      context_{site_, queue, watcher, limits} {}

bool Server::Listen(std::string* error) {
  beast::error_code ec;
  switch (AdoptHandedSocket(acceptor_, error)) {
    case HandedSocket::Unusable:
      return false;
    case HandedSocket::Adopted: {
      // The socket unit decides the address; the gates must know it, and it
      // must be as private as one the service would bind itself.
      const tcp::endpoint local = acceptor_.local_endpoint(ec);
      if (ec || !local.address().is_loopback()) {
        *error = "the socket systemd handed over listens on " + (ec ? ec.message() : local.address().to_string()) +
                 ", not a loopback address: give the socket unit ListenStream=127.0.0.1:PORT";
        return false;
      }
      site_.listenHost = local.address().to_string();
      site_.port = local.port();
      handed_ = true;
      return true;
    }
    case HandedSocket::None:
      break;
  }
  const std::string host = site_.listenHost == "localhost" ? "127.0.0.1" : site_.listenHost;
  const tcp::endpoint endpoint(net::ip::make_address(host, ec), site_.port);
  if (!ec) acceptor_.open(endpoint.protocol(), ec);
  if (!ec) PrepareListeningSocket(acceptor_, ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + host + ":" + std::to_string(site_.port) + ": " + ec.message();
    return false;
  }
  site_.port = acceptor_.local_endpoint().port();
  return true;
}

void Server::Start() { Accept(); }

void Server::Stop() {
  stopped_ = true;
  context_.stopping = true;
  beast::error_code ignored;
  acceptor_.close(ignored);
  retry_.cancel();
}

void Server::Accept() {
  acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (stopped_) return;
    if (!ec) {
      std::make_shared<HttpSession>(std::move(socket), context_)->Start();
      return Accept();
    }
    // Out of descriptors and the like: wait a moment rather than spin.
    retry_.expires_after(std::chrono::milliseconds(100));
    retry_.async_wait([this](beast::error_code) {
      if (!stopped_) Accept();
    });
  });
}

}  // namespace q48service
