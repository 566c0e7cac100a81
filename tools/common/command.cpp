#include "command.h"

#include <cstring>

#include "Q48Reader.h"
#include "photo/base64.h"
#include "protocol/card_fields.h"
#include "tool_platform.h"
#include "serial/find_port.h"

namespace q48tool {

namespace {

// The result codes by their names in the public header.
#define Q48_NAMED(code) {code, #code}
const struct {
  int code;
  const char* name;
} kCodeNames[] = {Q48_NAMED(Q48_READER_FOUND), Q48_NAMED(Q48_OK),       Q48_NAMED(Q48_ERR_NO_READER),
                  Q48_NAMED(Q48_ERR_REJECTED), Q48_NAMED(Q48_ERR_ARGUMENT), Q48_NAMED(Q48_ERR_TIMEOUT),
                  Q48_NAMED(Q48_ERR_READ_CARD)};
#undef Q48_NAMED

// A zero-terminated text of at most `size` bytes.
std::string TextAt(const char* at, size_t size) { return std::string(at, strnlen(at, size)); }

}  // namespace

const char* CodeName(int code) {
  for (const auto& named : kCodeNames)
    if (named.code == code) return named.name;
  return "unknown";
}

const char* CommandName(Command command) {
  switch (command) {
    case Command::List: return "list";
    case Command::ReadCard: return "read-card";
    case Command::Iccid: return "iccid";
    case Command::CardType: return "card-type";
    case Command::Write: return "write";
  }
  return "";
}

std::string ExplainOpenFailure(const std::string& openError, q48::OpenFailureKind openFailure) {
  std::string advice;
  switch (openFailure) {
    case q48::OpenFailureKind::InUse: advice = "another program is using the port: close other reader software"; break;
    case q48::OpenFailureKind::Denied: advice = PermissionAdvice(); break;
    case q48::OpenFailureKind::NotFound:
      advice = std::string("check ") + PortNameHint() + " and that the reader is plugged in";
      break;
    default: advice = std::string("check ") + PortNameHint() + ", the reader and its cable"; break;
  }
  return SystemTextToUtf8(openError) + "; " + advice;
}

Explanation Explain(Command command, int code, const std::string& openError, q48::OpenFailureKind openFailure) {
  const bool list = command == Command::List;
  if (command == Command::CardType && code >= 0 && code <= 255)
    return {"card type", "the reader reports card type " + std::to_string(code), kExitOk};
  Explanation out{CodeName(code), "", kExitTimeout};
  switch (code) {
    case Q48_READER_FOUND:
      if (!list) break;
      out = {out.name, "the reader answered and identified itself", kExitOk};
      break;
    case Q48_OK:
      if (list) {
        out = {out.name, "no reader attached: check the USB cable and that the reader's driver is loaded",
               kExitNoReader};
      } else {
        out.message = command == Command::ReadCard ? "the identity card was read"
                      : command == Command::Iccid  ? "the SIM card's ICCID was read"
                                                   : "the number and the text were written to the SIM card";
        out.exitStatus = kExitOk;
      }
      break;
    case Q48_ERR_NO_READER:
      out.exitStatus = kExitNoReader;
      out.message = list ? "a reader port is there but did not answer as a reader: is another program using it? "
                           "is it a Q48?"
                    : command == Command::ReadCard
                        ? "no reader found, or its port is in use by another program: close other reader software"
                        : "no reader found: check the USB cable and that the reader's driver is loaded";
      break;
    case Q48_ERR_REJECTED:
      out.exitStatus = kExitRefused;
      out.message = command == Command::Write
                        ? "the SIM card refused the write: is it inserted the right way, and writable?"
                        : "the reader answered with a failure: is the SIM card inserted the right way?";
      break;
    case Q48_ERR_ARGUMENT:
      out.exitStatus = kExitArgument;
      out.message = "number and content must each be 1 to 19 bytes in GBK (a Chinese character takes 2)";
      break;
    case Q48_ERR_TIMEOUT:
      out.message = "no answer in time, or the port is in use by another program: check the card and the cable";
      break;
    case Q48_ERR_READ_CARD:
      out.exitStatus = kExitRefused;
      out.message = "the reader could not read the identity card: place it flat on the reader";
      break;
    default: break;
  }
  if (out.message.empty()) out = {"unknown", "unexpected result " + std::to_string(code), kExitTimeout};
  if (!openError.empty()) out.message = ExplainOpenFailure(openError, openFailure);
  return out;
}

CommandResult RunCommand(Command command, const q48::ExchangeOptions& given, const WriteTexts& texts) {
  q48::ExchangeOptions options = given;
  std::string openError;
  q48::OpenFailureKind openFailure = q48::OpenFailureKind::None;
  options.openError = &openError;
  options.openFailure = &openFailure;

  CommandResult result;
  // The buffer carries the eleven slots; the result object shows every field
  // of the card's kind.
  q48::ResultFields card;
  options.card = &card;
  std::vector<char> buffer(command == Command::ReadCard ? Q48_READ_CARD_BUFFER : Q48_ICCID_BUFFER, 0);
  switch (command) {
    case Command::List: result.code = q48::ListReaderCard(options); break;
    case Command::ReadCard: result.code = q48::ReadCard(options, buffer.data()); break;
    case Command::Iccid: result.code = q48::ReadIccid(options, buffer.data()); break;
    case Command::CardType: result.code = q48::ReadCardType(options); break;
    case Command::Write: result.code = q48::WriteCard(options, texts.content.c_str(), texts.number.c_str()); break;
  }
  result.explanation = Explain(command, result.code, openError, openFailure);

  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
  if (command == Command::List) {
    if (!options.device.empty()) {
      fields["device"] = options.device;
    } else {
      const int32_t port = q48::FindReaderPort(options.roots);
      if (port >= 0) fields["port"] = std::to_string(port);
    }
  } else if (command == Command::ReadCard && result.code == Q48_OK) {
    // The kind first, then its own fields in its table's order.
    const q48::CardKindInfo& kind = q48::InfoOf(card.Kind);
    fields["card_kind"] = kind.key;
    if (card.Kind == q48::CardKind::Unknown) fields["kind_mark"] = GbkToUtf8(card.KindMark);
    for (const q48::CardField& field : kind) {
      if (field.key == nullptr) continue;
      const std::string& text = q48::FieldText(card, kind, field);
      if (field.decoding != q48::CardDecoding::Portrait) {
        fields[field.key] = GbkToUtf8(TextAt(text.c_str(), text.size()));
        continue;
      }
      // Without a decoder the field holds something else than a JPEG's Base64.
      std::vector<uint8_t> jpeg;
      if (q48::Base64Decode(text, &jpeg) && jpeg.size() > 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8) {
        fields[field.key] = "data:image/jpeg;base64," + text;
        result.jpeg = std::move(jpeg);
      } else {
        fields[field.key] = "";
      }
    }
    fields["photo_bytes"] = std::to_string(result.jpeg.size());
  } else if (command == Command::Iccid && result.code == Q48_OK) {
    fields["iccid"] = GbkToUtf8(TextAt(buffer.data(), buffer.size()));
  } else if (command == Command::CardType && result.code >= 0) {
    fields["card_type"] = std::to_string(result.code);
  }

  result.object = ResultObject(command, result.code, result.explanation, std::move(fields));
  return result;
}

nlohmann::ordered_json ResultObject(Command command, int code, const Explanation& explanation,
                                    nlohmann::ordered_json fields) {
  return {{"command", CommandName(command)},
          {"result", code},
          {"result_name", explanation.name},
          {"message", explanation.message},
          {"fields", std::move(fields)}};
}

std::string Dump(const nlohmann::ordered_json& object) {
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace q48tool
