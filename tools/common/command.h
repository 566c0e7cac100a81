// One reader command run through the library's exchange, and its result as
// the object that `q48 --json` prints and q48-service answers with:
//   {"command", "result", "result_name", "message", "fields": {...}}
// with UTF-8 texts. Written once here so that both always say the same.
//
// RunCommand is called by q48's main thread and by q48-service's reader
// worker; it blocks for the whole exchange (up to about 30 s), and the
// exchange serialises concurrent callers. The rest is pure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/exchange.h"

namespace q48tool {

// q48's exit status for a result; the service's clients read `result`.
enum ExitStatus { kExitOk = 0, kExitUsage = 1, kExitNoReader = 2, kExitRefused = 3, kExitArgument = 4, kExitTimeout = 5 };

// What each exit status means, in words for q48's help.
struct ExitStatusMeaning {
  ExitStatus status;
  const char* meaning;
};
inline constexpr ExitStatusMeaning kExitStatusMeanings[] = {
    {kExitOk, "success"},         {kExitUsage, "usage"},           {kExitNoReader, "no reader"},
    {kExitRefused, "the reader refused"}, {kExitArgument, "bad argument"}, {kExitTimeout, "no answer or port unavailable"}};

enum class Command { List, ReadCard, Iccid, CardType, Write };

// A result code's name in the public header ("Q48_ERR_TIMEOUT"), or "unknown".
const char* CodeName(int code);

// "list", "read-card", "iccid", "card-type", "write".
const char* CommandName(Command command);

// The texts that `write` sends, already in GBK.
struct WriteTexts {
  std::string number;
  std::string content;
};

// What a result code means for the command that returned it.
struct Explanation {
  std::string name;     // the code's name in the public header, or what it is ("card type")
  std::string message;  // what happened and what to check, UTF-8
  int exitStatus;
};
// `openError` is the exchange's "cannot open DEVICE: REASON", empty when the
// port opened (or was never tried), and `openFailure` what sort of failure.
Explanation Explain(Command command, int code, const std::string& openError,
                    q48::OpenFailureKind openFailure = q48::OpenFailureKind::None);

// The exchange's "cannot open DEVICE: REASON" as UTF-8, followed by what to
// do about that kind of failure.
std::string ExplainOpenFailure(const std::string& openError, q48::OpenFailureKind openFailure);

struct CommandResult {
  int code = 0;                   // the library's result
  Explanation explanation;
  nlohmann::ordered_json object;  // command, result, result_name, message, fields
  // read-card: the portrait as JPEG bytes; empty when it was not converted
  // (no decoder) or the read failed.
  std::vector<uint8_t> jpeg;
};

// Runs `command` with `options` (device, trace, portrait converter); its
// openError is the result's own. `texts` matter only for Write.
CommandResult RunCommand(Command command, const q48::ExchangeOptions& options, const WriteTexts& texts = {});

// The result object from its parts.
nlohmann::ordered_json ResultObject(Command command, int code, const Explanation& explanation,
                                    nlohmann::ordered_json fields);

// The object's JSON text on one line, UTF-8 unescaped.
std::string Dump(const nlohmann::ordered_json& object);

}  // namespace q48tool
