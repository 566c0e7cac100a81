// What a request asks for, decided from its method, target, content type and
// body alone: a built-in file, a reader command, the event stream, a
// preflight, or a refusal with its status. Pure; called on the service's
// network thread after the Host and Origin gates.
//
// Reader commands are POST with a JSON body (or GET for the harmless list),
// so that no <img>, <form> or other simple cross-site request can start one.
//
// A reader command's target may carry `?timeout=MS`: the client gives up
// that many milliseconds after sending it, and a command still waiting for
// the reader then is not run. It rides in the query, not in a header, so
// that a service that does not know it ignores it (a new header would fail
// such a service's preflight) and a GET stays free of a preflight.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "command.h"
#include "web_assets.h"

namespace q48service {

constexpr size_t kMaxBody = 4096;

enum class RouteKind { Asset, Reader, Events, Preflight, Refused };

struct Route {
  RouteKind kind = RouteKind::Refused;
  int status = 200;     // Refused: 400, 404, 405 or 415
  std::string error;    // Refused: why, for the body {"error": ...}
  std::string allow;    // the path's methods: the Allow header (405, OPTIONS)
  const WebAsset* asset = nullptr;        // Asset (HEAD too: the server sends its headers only)
  std::optional<q48tool::Command> command;  // Reader
  q48tool::WriteTexts texts;                // Reader, write: GBK
  std::optional<std::chrono::milliseconds> timeout;  // Reader: when the client gives up, if it said
};

constexpr long long kMaxTimeoutMs = 999999999;  // nine digits: some 11 days

// `target` as sent (of its query, only `timeout` counts); `contentType` is the header's
// value ("" when absent).
Route Classify(std::string_view method, std::string_view target, std::string_view contentType,
               const std::string& body);

}  // namespace q48service
