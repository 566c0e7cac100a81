#include "routes.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <boost/beast/core/string.hpp>

#include <nlohmann/json.hpp>

#include "tool_platform.h"

namespace q48service {

namespace {

using q48tool::Command;

struct Endpoint {
  const char* path;
  const char* method;              // the one method that runs it
  std::optional<Command> command;  // the reader command it runs; none: the event stream
};

const Endpoint kEndpoints[] = {
    {"/v1/reader", "GET", Command::List},
    {"/v1/card", "POST", Command::ReadCard},
    {"/v1/iccid", "POST", Command::Iccid},
    {"/v1/card-type", "POST", Command::CardType},
    {"/v1/sim", "POST", Command::Write},
    {"/v1/events", "GET", std::nullopt},
};

Route Refuse(int status, std::string error, std::string allow = std::string()) {
  Route route;
  route.kind = RouteKind::Refused;
  route.status = status;
  route.error = std::move(error);
  route.allow = std::move(allow);
  return route;
}

bool IsJson(std::string_view contentType) {
  const std::string_view type = contentType.substr(0, contentType.find(';'));
  const size_t first = type.find_first_not_of(" \t"), last = type.find_last_not_of(" \t");
  if (first == std::string_view::npos) return false;
  return boost::beast::iequals(type.substr(first, last - first + 1), "application/json");
}

// The body of a reader command: a JSON object, or nothing at all.
bool ParseBody(const std::string& body, nlohmann::json* object, std::string* error) {
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
    *object = nlohmann::json::object();
    return true;
  }
  // JSON has no raw NUL byte, and nlohmann's lexer would take one for the end
  // of the input, accepting whatever follows it unread.
  const bool hasNul = body.find('\0') != std::string::npos;
  if (!hasNul) *object = nlohmann::json::parse(body, nullptr, false);
  if (hasNul || object->is_discarded()) {
    *error = "the body is not valid JSON";
    return false;
  }
  if (!object->is_object()) {
    *error = "the body must be a JSON object";
    return false;
  }
  return true;
}

// A text field of the write body, converted to GBK.
bool GbkField(const nlohmann::json& body, const char* key, std::string* gbk, std::string* error) {
  const auto it = body.find(key);
  if (it == body.end() || !it->is_string()) {
    *error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  const std::string& text = it->get_ref<const std::string&>();
  // "\u0000" is valid JSON, but the texts go to the library as C strings:
  // everything after a NUL would be lost while the write reported success.
  if (text.find('\0') != std::string::npos) {
    *error = std::string("\"") + key + "\" must not contain a NUL character";
    return false;
  }
  if (!q48tool::Utf8ToGbk(text, gbk)) {
    *error = std::string("\"") + key + "\" has characters that GBK cannot hold";
    return false;
  }
  return true;
}

// The query's `timeout`: none, or one value of 1 to kMaxTimeoutMs
// milliseconds in decimal digits; other parameters are left alone.
bool ParseTimeout(std::string_view target, std::optional<std::chrono::milliseconds>* timeout, std::string* error) {
  const size_t question = target.find('?');
  std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  *error = "timeout must be given once, as 1 to " + std::to_string(kMaxTimeoutMs) + " milliseconds";
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view parameter = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::string_view name = parameter.substr(0, parameter.find('='));
    if (name != "timeout") continue;
    if (timeout->has_value() || name.size() == parameter.size()) return false;
    const std::string_view digits = parameter.substr(name.size() + 1);
    long long ms = 0;
    const auto [end, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
    if (failed != std::errc() || end != digits.data() + digits.size() || ms < 1 || ms > kMaxTimeoutMs) return false;
    *timeout = std::chrono::milliseconds(ms);
  }
  return true;
}

}  // namespace

Route Classify(std::string_view method, std::string_view target, std::string_view contentType,
               const std::string& body) {
  const std::string_view path = target.substr(0, target.find('?'));
  const WebAsset* asset = FindWebAsset(path);
  const auto endpoint = std::find_if(std::begin(kEndpoints), std::end(kEndpoints),
                                     [&](const Endpoint& e) { return path == e.path; });
  if (asset == nullptr && endpoint == std::end(kEndpoints)) return Refuse(404, "no such path");

  // A file answers GET and HEAD, an endpoint its one method; each path answers its preflight.
  Route route;
  route.allow = asset != nullptr ? "GET, HEAD, OPTIONS" : std::string(endpoint->method) + ", OPTIONS";
  if (method == "OPTIONS") {
    route.kind = RouteKind::Preflight;
    return route;
  }
  if (asset != nullptr) {
    if (method != "GET" && method != "HEAD") return Refuse(405, "use GET", route.allow);
    route.kind = RouteKind::Asset;
    route.asset = asset;
    return route;
  }
  if (method != endpoint->method) return Refuse(405, std::string("use ") + endpoint->method, route.allow);

  route.kind = endpoint->command ? RouteKind::Reader : RouteKind::Events;
  route.command = endpoint->command;
  std::string error;
  if (route.command && !ParseTimeout(target, &route.timeout, &error)) return Refuse(400, error);
  if (method != "POST") return route;
  if (!IsJson(contentType)) return Refuse(415, "send the body as application/json");
  nlohmann::json object;
  if (!ParseBody(body, &object, &error)) return Refuse(400, error);
  if (route.command == Command::Write &&
      (!GbkField(object, "number", &route.texts.number, &error) ||
       !GbkField(object, "content", &route.texts.content, &error)))
    return Refuse(400, error);
  return route;
}

}  // namespace q48service
