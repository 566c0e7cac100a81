#include "routes.h"

#include <algorithm>
#include <boost/beast/core/string.hpp>

#include <nlohmann/json.hpp>

#include "platform.h"

namespace q48service {

namespace {

using q48tool::Command;

struct Endpoint {
  const char* path;
  const char* method;  // the one method that runs it
  RouteKind kind;
  Command command;
};

const Endpoint kEndpoints[] = {
    {"/v1/reader", "GET", RouteKind::Reader, Command::List},
    {"/v1/card", "POST", RouteKind::Reader, Command::ReadCard},
    {"/v1/iccid", "POST", RouteKind::Reader, Command::Iccid},
    {"/v1/card-type", "POST", RouteKind::Reader, Command::CardType},
    {"/v1/sim", "POST", RouteKind::Reader, Command::Write},
    {"/v1/events", "GET", RouteKind::Events, Command::List},
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
  *object = nlohmann::json::parse(body, nullptr, false);
  if (object->is_discarded()) {
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
  if (!q48tool::Utf8ToGbk(it->get<std::string>(), gbk)) {
    *error = std::string("\"") + key + "\" has characters that GBK cannot hold";
    return false;
  }
  return true;
}

}  // namespace

Route Classify(std::string_view method, std::string_view target, std::string_view contentType,
               const std::string& body) {
  const std::string_view path = target.substr(0, target.find('?'));

  if (const WebAsset* asset = FindWebAsset(path)) {
    const std::string allow = "GET, HEAD, OPTIONS";
    if (method == "OPTIONS") {
      Route route;
      route.kind = RouteKind::Preflight;
      route.allow = allow;
      return route;
    }
    if (method != "GET" && method != "HEAD") return Refuse(405, "use GET", allow);
    Route route;
    route.kind = RouteKind::Asset;
    route.asset = asset;
    route.headOnly = method == "HEAD";
    return route;
  }

  const auto endpoint = std::find_if(std::begin(kEndpoints), std::end(kEndpoints),
                                     [&](const Endpoint& e) { return path == e.path; });
  if (endpoint == std::end(kEndpoints)) return Refuse(404, "no such path");
  const std::string allow = std::string(endpoint->method) + ", OPTIONS";
  if (method == "OPTIONS") {
    Route route;
    route.kind = RouteKind::Preflight;
    route.allow = allow;
    return route;
  }
  if (method != endpoint->method) return Refuse(405, std::string("use ") + endpoint->method, allow);

  Route route;
  route.kind = endpoint->kind;
  route.command = endpoint->command;
  route.allow = allow;
  if (method != "POST") return route;
  if (!IsJson(contentType)) return Refuse(415, "send the body as application/json");
  nlohmann::json object;
  std::string error;
  if (!ParseBody(body, &object, &error)) return Refuse(400, error);
  if (route.command == Command::Write &&
      (!GbkField(object, "number", &route.texts.number, &error) ||
       !GbkField(object, "content", &route.texts.content, &error)))
    return Refuse(400, error);
  return route;
}

}  // namespace q48service
