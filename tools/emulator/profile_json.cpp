// Card profiles as JSON, through nlohmann-json.
//
// Reading uses the library's SAX interface: the profile's fixed shape is
// checked event by event, so nothing outside it (an unknown key, a value of
// the wrong type, a nested array) is ever built. Positions come from the
// bytes the parser has taken: an input iterator counts them, and at each
// event the token that caused it is found by stepping from the end of the
// previous token over white space and the one ':' or ',' between them (the
// only tokens without an event of their own). A number is the one token the
// parser reads a byte beyond, so its end is taken from its own characters.
// Syntax errors carry the library's byte position. Offsets become
// line:column, columns counting characters as editors do.
//
// Not a DOM parse: nlohmann-json 3.11's DOM keeps no positions and lets a
// repeated key replace the first, so a wrong value could not be placed by
// line and column and a duplicate would pass unseen.
#include "profile_json.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "card_record.h"
#include "photo/base64.h"
#include "tool_platform.h"

namespace q48emu {

namespace {

using Json = nlohmann::json;

constexpr size_t kMaxProfileFile = 1024 * 1024;
using detail::kCardTexts;
using detail::kReservedKey;  // raw bytes, at most kMaxReserved
constexpr size_t kMaxPortrait = detail::kPortraitSize;
constexpr size_t kMaxReserved = detail::kReservedSize;
constexpr size_t kMaxIccid = 255;        // the answer's count byte
constexpr size_t kMaxIdentText = 65527;  // what the frame's 16-bit length leaves
constexpr char kBom[] = "\xEF\xBB\xBF";  // editors on Windows like to start UTF-8 files with it

// A profile's text, read one byte at a time by the parser; *taken follows
// how many bytes it has read.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, const char* begin, size_t* taken) : at_(at), begin_(begin), taken_(taken) {}
  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    *taken_ = static_cast<size_t>(at_ - begin_);
    return *this;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }
  bool operator!=(const CountingIterator& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  const char* begin_;
  size_t* taken_;
};

// Thrown by the checks below; carries the byte offset it is about.
struct Failure {
  size_t at;
  std::string message;
};

// One scalar value as the parser reported it.
struct Value {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind;
  size_t at;            // offset of its first byte
  std::string lexeme;   // the raw token
  std::string text;     // a string's contents
  bool boolean = false;
};

std::string Found(const Value& value) {
  switch (value.kind) {
    case Value::Kind::kNull:
      return "null";
    case Value::Kind::kBool:
      return value.boolean ? "true" : "false";
    case Value::Kind::kNumber:
      return "the number " + value.lexeme;
    case Value::Kind::kString:
      return "a string";
    case Value::Kind::kArray:
      return "an array";
    case Value::Kind::kObject:
      return "an object";
  }
  return "something else";
}

constexpr const char* kProfileKeys[] = {"description", "ident_text",      "iccid",        "card_type",
                                        "accept_writes", "id_card", "portrait_base64", "portrait_file"};

// The earlier camelCase keys, read for this release with a warning. The old
// "validity" held both dates and fills valid_from and valid_to; it keeps
// its name inside the reader.
constexpr char kOldValidityKey[] = "validity";
struct OldKey {
  bool card;  // a key of id_card
  const char* old;
  const char* now;
};
constexpr OldKey kOldKeys[] = {
    {false, "identText", "ident_text"}, {false, "cardType", "card_type"}, {false, "acceptWrites", "accept_writes"},
    {false, "idCard", "id_card"},       {true, "sex", "sex_code"},        {true, "nationCode", "nation_code"},
    {true, "birthDate", "birth_date"},  {true, "idNumber", "id_number"},  {true, "authority", "issuing_authority"},
    {true, kOldValidityKey, kOldValidityKey}};

// The card text of this field (both dates are card texts).
constexpr const detail::CardText& CardTextOf(std::string IdCardFields::*text) {
  for (const detail::CardText& field : kCardTexts)
    if (field.text == text) return field;
  return kCardTexts[0];
}
constexpr const detail::CardText& kValidFrom = CardTextOf(&IdCardFields::validFrom);
constexpr const detail::CardText& kValidTo = CardTextOf(&IdCardFields::validTo);

// The keys allowed at this level, for the check and for the message.
std::vector<std::string> KnownKeys(bool card) {
  std::vector<std::string> keys;
  if (card) {
    keys.emplace_back(detail::kKindKey);
    for (const detail::CardLayout& layout : detail::kCardLayouts)
      for (const detail::CardText& field : layout)
        if (std::find(keys.begin(), keys.end(), field.key) == keys.end()) keys.emplace_back(field.key);
    keys.emplace_back(kReservedKey);
    keys.emplace_back(detail::kKindMarkKey);
  } else {
    keys.assign(std::begin(kProfileKeys), std::end(kProfileKeys));
  }
  return keys;
}

std::string Joined(const std::vector<std::string>& keys) {
  std::string list;
  for (const std::string& key : keys) list += (list.empty() ? "" : ", ") + key;
  return list;
}

// The SAX handler: the profile's shape as a small state machine.
class ProfileReader {
 public:
  ProfileReader(const std::string& text, const size_t& taken, const std::string& baseDir, CardProfile* profile,
                std::string* description)
      : text_(text), taken_(taken), baseDir_(baseDir), profile_(*profile), description_(*description) {
    if (text_.compare(0, 3, kBom) == 0) end_ = 3;
  }

  bool Failed() const { return failed_; }
  const Failure& failure() const { return failure_; }

  // nlohmann's SAX interface.
  bool null() { return Scalar({Value::Kind::kNull, 0}); }
  bool boolean(bool value) {
    Value v{Value::Kind::kBool, 0};
    v.boolean = value;
    return Scalar(std::move(v));
  }
  bool number_integer(Json::number_integer_t) { return Scalar({Value::Kind::kNumber, 0}); }
  bool number_unsigned(Json::number_unsigned_t) { return Scalar({Value::Kind::kNumber, 0}); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return Scalar({Value::Kind::kNumber, 0}); }
  bool string(Json::string_t& text) {
    Value v{Value::Kind::kString, 0};
    v.text = std::move(text);
    return Scalar(std::move(v));
  }
  bool binary(Json::binary_t&) { return Scalar({Value::Kind::kNull, 0}); }  // not in JSON text

  bool start_object(std::size_t) {
    return Guard([&] {
      const size_t at = Locate(false);
      if (state_ == State::kRoot) {
        state_ = State::kProfile;
      } else if (state_ == State::kProfile && name_ == "id_card") {
        state_ = State::kIdCard;
        keys_[1].clear();
      } else {
        WrongType({Value::Kind::kObject, at});
      }
    });
  }
  bool end_object() {
    return Guard([&] {
      Locate(false);
      if (state_ == State::kIdCard) CheckKindsFields();
      state_ = state_ == State::kIdCard ? State::kProfile : State::kDone;
    });
  }
  bool start_array(std::size_t) {
    return Guard([&] { WrongType({Value::Kind::kArray, Locate(false)}); });
  }
  bool end_array() { return true; }  // never reached: every array is refused at its start

  bool key(Json::string_t& key) {
    return Guard([&] {
      const size_t at = Locate(false);
      const bool card = state_ == State::kIdCard;
      std::string name = CurrentName(key, card, at);
      // An old name and its new one are one key given twice; so are the old
      // validity and either date.
      auto& seen = keys_[card ? 1 : 0];
      std::vector<std::string> names = {name};
      if (name == kOldValidityKey) names = {kValidFrom.key, kValidTo.key};
      for (const std::string& same : names) {
        const auto earlier = seen.find(same);
        if (earlier == seen.end()) continue;
        const auto [line, column] = LineColumn(text_, earlier->second);
        throw Failure{at, "duplicate key \"" + key + "\" (first at line " + std::to_string(line) + ", column " +
                              std::to_string(column) + ")"};
      }
      for (const std::string& same : names) seen.emplace(same, at);
      const std::vector<std::string> known = KnownKeys(card);
      if (name != kOldValidityKey && std::find(known.begin(), known.end(), name) == known.end())
        throw Failure{at, "unknown key \"" + key + "\" (known keys: " + Joined(known) + ")"};
      if (!card && (name == "portrait_base64" || name == "portrait_file")) {
        if (!portraitKey_.empty())
          throw Failure{at, "give the portrait once: \"" + portraitKey_ + "\" or \"" + key + "\", not both"};
        portraitKey_ = key;
      }
      key_ = std::move(key);
      name_ = std::move(name);
    });
  }

  // What the reader noticed but read anyway: byte offset and words.
  const std::vector<Failure>& warnings() const { return warnings_; }

  bool parse_error(std::size_t position, const std::string&, const Json::exception& error) {
    // The library's message after its own "parse error at line L, column C: ".
    std::string message = error.what();
    const size_t head = message.find("parse error");
    const size_t colon = head == std::string::npos ? head : message.find(": ", head);
    if (colon != std::string::npos) message.erase(0, colon + 2);
    // Its "last read: '...'" quotes the profile's text, which may be a card
    // holder's; the place says enough.
    const size_t lastRead = message.find("; last read: '");
    if (lastRead != std::string::npos) {
      size_t quote = message.rfind("'; expected ");
      if (quote == std::string::npos || quote < lastRead) quote = message.size() - 1;
      message.erase(lastRead, quote + 1 - lastRead);
    }
    // `position` counts the bytes read, the one in the way included.
    Fail({position > 0 ? position - 1 : 0, message});
    return false;
  }

  // The whole text holds nothing but white space.
  void Empty() { Fail({text_.size(), "the file is empty; a profile is one JSON object"}); }

  // Where `offset` is: 1-based line, and column in characters.
  static std::pair<int, int> LineColumn(const std::string& text, size_t offset) {
    offset = std::min(offset, text.size());
    int line = 1, column = 1;
    for (size_t i = text.compare(0, 3, kBom) == 0 ? 3 : 0; i < offset; ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      if (byte == '\n') {
        ++line;
        column = 1;
      } else if ((byte & 0xC0) != 0x80) {
        ++column;
      }
    }
    return {line, column};
  }

 private:
  enum class State { kRoot, kProfile, kIdCard, kDone };

  // The name a key has now; an old one is noted among the warnings.
  std::string CurrentName(const std::string& key, bool card, size_t at) {
    for (const OldKey& old : kOldKeys) {
      if (old.card != card || key != old.old) continue;
      const std::string now = key == kOldValidityKey
                                  ? "\"" + std::string(kValidFrom.key) + "\" and \"" + kValidTo.key + "\""
                                  : "\"" + std::string(old.now) + "\"";
      warnings_.push_back(
          {at, "\"" + key + "\" is the old name of " + now + "; old names are read only until the next release"});
      return old.now;
    }
    return key;
  }

  void Fail(Failure failure) {
    if (failed_) return;
    failed_ = true;
    failure_ = std::move(failure);
  }

  template <typename Check>
  bool Guard(Check check) {
    try {
      check();
      return true;
    } catch (Failure& failure) {
      Fail(std::move(failure));
      return false;
    }
  }

  // Finds the token of the current event; returns its offset.
  size_t Locate(bool number) {
    size_t at = end_;
    while (at < text_.size() && std::strchr(" \t\r\n:,", text_[at]) != nullptr && text_[at] != '\0') ++at;
    if (number) {
      end_ = at;
      while (end_ < text_.size() && std::strchr("+-.eE0123456789", text_[end_]) != nullptr && text_[end_] != '\0')
        ++end_;
    } else {
      end_ = std::max(taken_, at + 1);
    }
    return at;
  }

  bool Scalar(Value value) {
    return Guard([&] {
      const bool number = value.kind == Value::Kind::kNumber;
      value.at = Locate(number);
      value.lexeme = text_.substr(value.at, end_ - value.at);
      if (state_ == State::kRoot) {
        WrongType(value);
      } else if (state_ == State::kIdCard) {
        CardText(value);
      } else if (name_ == "description") {
        description_ = Text(value);
      } else if (name_ == "ident_text") {
        profile_.identText = TextOfBytes(value, kMaxIdentText);
      } else if (name_ == "iccid") {
        profile_.iccid = TextOfBytes(value, kMaxIccid);
      } else if (name_ == "card_type") {
        profile_.cardType = CardType(value);
      } else if (name_ == "accept_writes") {
        Require(value, Value::Kind::kBool, "true or false");
        profile_.acceptWrites = value.boolean;
      } else if (name_ == "id_card") {
        Require(value, Value::Kind::kObject, "an object of card texts");
      } else if (name_ == "portrait_base64") {
        profile_.portrait = PortraitFromBase64(value);
      } else if (name_ == "portrait_file") {
        profile_.portrait = PortraitFromFile(value);
      }
    });
  }

  [[noreturn]] void Reject(const Value& value, const std::string& problem) const {
    throw Failure{value.at, "\"" + key_ + "\" " + problem};
  }

  [[noreturn]] void WrongType(const Value& value) const {
    if (state_ == State::kRoot) throw Failure{value.at, "a profile is one JSON object, found " + Found(value)};
    if (state_ == State::kIdCard) Reject(value, "must be a string, found " + Found(value));
    if (name_ == "card_type") Reject(value, "must be an integer from 0 to 255, found " + Found(value));
    if (name_ == "accept_writes") Reject(value, "must be true or false, found " + Found(value));
    if (name_ == "id_card") Reject(value, "must be an object of card texts, found " + Found(value));
    Reject(value, "must be a string, found " + Found(value));
  }

  void Require(const Value& value, Value::Kind kind, const char* expected) const {
    if (value.kind != kind) Reject(value, std::string("must be ") + expected + ", found " + Found(value));
  }

  const std::string& Text(const Value& value) const {
    if (value.kind != Value::Kind::kString) WrongType(value);
    return value.text;
  }

  std::string TextOfBytes(const Value& value, size_t maxBytes) const {
    const std::string& text = Text(value);
    if (text.size() > maxBytes)
      Reject(value, "is " + std::to_string(text.size()) + " bytes long; at most " + std::to_string(maxBytes) +
                        " fit");
    return text;
  }

  // Each text of id_card is one of its kind's, and fits there; the kind may
  // come after them, so this is checked at the object's end.
  void CheckKindsFields() const {
    const detail::CardLayout& layout = *detail::FindLayout(profile_.idCard.kind);
    for (const auto& [key, at] : keys_[1]) {
      if (key == detail::kKindKey || key == detail::kKindMarkKey) continue;
      const size_t room = key == kReservedKey ? (layout.mark == 0 ? kMaxReserved : 0) : detail::RoomOf(layout, key);
      std::string keys;
      for (const detail::CardText& field : layout)
        if (keys.find(std::string(field.key) + ",") == std::string::npos) keys += std::string(field.key) + ", ";
      if (room == 0)
        throw Failure{at, "\"" + key + "\" is not a field of a " + layout.kind + " card (its fields: " + keys +
                              "\"" + detail::kKindKey + "\" names the kind)"};
      if (key == kReservedKey) continue;
      std::string IdCardFields::*text = nullptr;
      for (const detail::CardText& field : layout)
        if (key == field.key) text = field.text;
      const size_t have = q48tool::Utf8ToUtf16(profile_.idCard.*text).size();
      if (have > room)
        throw Failure{at, "\"" + key + "\" is " + std::to_string(have) + " characters long (UTF-16 units); a " +
                              layout.kind + " card holds " + std::to_string(room)};
    }
  }

  void CardText(const Value& value) {
    if (name_ == detail::kKindKey) {
      if (detail::FindLayout(Text(value)) == nullptr) {
        std::string kinds;
        for (const detail::CardLayout& layout : detail::kCardLayouts) kinds += (kinds.empty() ? "" : ", ") + std::string(layout.kind);
        Reject(value, "names no kind of card (kinds: " + kinds + ")");
      }
      profile_.idCard.kind = value.text;
      return;
    }
    if (name_ == detail::kKindMarkKey) {
      profile_.idCard.kindMark = TextOfUnits(value, 1);
      if (profile_.idCard.kindMark.empty()) Reject(value, "is empty; give one character");
      return;
    }
    if (name_ == kReservedKey) {
      profile_.idCard.reserved = TextOfBytes(value, kMaxReserved);
      return;
    }
    if (name_ == kOldValidityKey) {
      OldValidity(value);
      return;
    }
    // Here against the largest room any kind has; against its kind's at
    // the object's end, since the kind may come later.
    std::string IdCardFields::*text = nullptr;
    size_t room = 0;
    for (const detail::CardLayout& layout : detail::kCardLayouts)
      for (const detail::CardText& field : layout)
        if (name_ == field.key) {
          text = field.text;
          room = std::max(room, detail::RoomOf(layout, name_));
        }
    if (text != nullptr) profile_.idCard.*text = TextOfUnits(value, room);
  }

  std::string TextOfUnits(const Value& value, size_t maxUnits) const {
    const std::string& text = Text(value);
    const size_t have = q48tool::Utf8ToUtf16(text).size();
    if (have > maxUnits)
      Reject(value, "is " + std::to_string(have) + " characters long (UTF-16 units); the card holds " +
                        std::to_string(maxUnits));
    return text;
  }

  // The old "validity": both dates in one text, cut where valid_from's room
  // ends (at a character's start).
  void OldValidity(const Value& value) {
    const std::string text = TextOfUnits(value, kValidFrom.units + kValidTo.units);
    size_t cut = 0;
    for (size_t units = 0; cut < text.size();) {
      // The parser passes valid UTF-8 only: a lead byte gives the length.
      const auto lead = static_cast<unsigned char>(text[cut]);
      const size_t bytes = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      units += bytes == 4 ? 2 : 1;
      if (units > kValidFrom.units) break;
      cut += bytes;
    }
    profile_.idCard.validFrom = text.substr(0, cut);
    profile_.idCard.validTo = text.substr(cut);
  }

  uint8_t CardType(const Value& value) const {
    if (value.kind != Value::Kind::kNumber) WrongType(value);
    const std::string& digits = value.lexeme;
    if (digits.find_first_of(".eE") != std::string::npos)
      Reject(value, "must be an integer from 0 to 255, found " + digits);
    if (digits[0] == '-' || digits.size() > 3 || std::stoi(digits) > 255)
      Reject(value, "is " + digits + ", outside 0 to 255");
    return static_cast<uint8_t>(std::stoi(digits));
  }

  std::vector<uint8_t> PortraitFromBase64(const Value& value) const {
    const std::string& text = Text(value);
    std::vector<uint8_t> bytes;
    q48::Base64Error error;
    if (!q48::Base64Decode(text, &bytes, &error)) {
      // Base64 is ASCII: without escapes in the token, the text's offsets
      // are the token's, one past its opening quote. With escapes, the
      // string's start is the best place to show.
      const bool plain = value.lexeme.find('\\') == std::string::npos;
      throw Failure{plain ? value.at + 1 + error.offset : value.at,
                    "\"" + key_ + "\" is not Base64: " + error.reason};
    }
    if (bytes.size() > kMaxPortrait)
      Reject(value, "holds " + std::to_string(bytes.size()) + " bytes; the card has room for " +
                        std::to_string(kMaxPortrait));
    return bytes;
  }

  std::vector<uint8_t> PortraitFromFile(const Value& value) const {
    const std::string& name = Text(value);
    if (name.empty()) Reject(value, "is empty; give the path of a portrait file");
    std::filesystem::path path(name);
    if (path.is_relative()) path = std::filesystem::path(baseDir_) / path;
    const std::string shown = "\"" + name + "\" (" + path.string() + ")";
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    if (file == nullptr) Reject(value, "cannot be opened: " + shown + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes(kMaxPortrait + 1);
    errno = 0;
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) Reject(value, "cannot be read: " + shown + ": " + std::strerror(error));
    if (got > kMaxPortrait)
      Reject(value, "names a file larger than the card's " + std::to_string(kMaxPortrait) + " bytes: " + shown);
    bytes.resize(got);
    return bytes;
  }

  const std::string& text_;
  const size_t& taken_;
  const std::string& baseDir_;
  CardProfile& profile_;
  std::string& description_;
  State state_ = State::kRoot;
  size_t end_ = 0;  // end of the previous event's token
  std::string key_;   // as written
  std::string name_;  // its name now (an old key's new name)
  std::string portraitKey_;
  std::map<std::string, size_t> keys_[2];  // seen in the profile and in id_card, with their offsets
  std::vector<Failure> warnings_;
  bool failed_ = false;
  Failure failure_;
};

}  // namespace

bool ParseProfile(const std::string& text, const std::string& source, const std::string& baseDir,
                  CardProfile* profile, std::string* error, std::string* description,
                  std::vector<std::string>* warnings) {
  CardProfile parsed;
  std::string about;
  size_t taken = 0;
  ProfileReader reader(text, taken, baseDir, &parsed, &about);
  const size_t start = text.compare(0, 3, kBom) == 0 ? 3 : 0;
  bool ok = false;
  if (text.find_first_not_of(" \t\r\n", start) == std::string::npos) {
    reader.Empty();
  } else {
    const char* begin = text.data();
    ok = Json::sax_parse(CountingIterator(begin, begin, &taken), CountingIterator(begin + text.size(), begin, &taken),
                         &reader);
  }
  const auto placed = [&](const Failure& what) {
    const auto [line, column] = ProfileReader::LineColumn(text, what.at);
    return source + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + what.message;
  };
  if (!ok || reader.Failed()) {
    if (error) *error = placed(reader.failure());
    return false;
  }
  *profile = std::move(parsed);
  if (description) *description = std::move(about);
  if (warnings) {
    warnings->clear();
    for (const Failure& warning : reader.warnings()) warnings->push_back(placed(warning));
  }
  return true;
}

bool LoadProfile(const std::string& path, CardProfile* profile, std::string* error, std::string* description,
                 std::vector<std::string>* warnings) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string text(kMaxProfileFile + 1, '\0');
  errno = 0;
  const size_t got = std::fread(&text[0], 1, text.size(), file);
  const bool failed = std::ferror(file) != 0;
  const int reason = errno;
  std::fclose(file);
  if (failed || got > kMaxProfileFile) {
    if (error) *error = path + ": " + (failed ? std::strerror(reason) : "larger than 1 MiB; not a card profile");
    return false;
  }
  text.resize(got);
  std::string baseDir = std::filesystem::path(path).parent_path().string();
  if (baseDir.empty()) baseDir = ".";
  return ParseProfile(text, path, baseDir, profile, error, description, warnings);
}

std::string ProfileToJson(const CardProfile& profile, const std::string& description) {
  // Keys in the order people read them, as in the shipped profiles.
  nlohmann::ordered_json out;
  if (!description.empty()) out["description"] = description;
  out["ident_text"] = profile.identText;
  out["iccid"] = profile.iccid;
  out["card_type"] = static_cast<unsigned>(profile.cardType);
  out["accept_writes"] = profile.acceptWrites;
  nlohmann::ordered_json& card = out["id_card"] = nlohmann::ordered_json::object();
  const detail::CardLayout* found = detail::FindLayout(profile.idCard.kind);
  const detail::CardLayout& layout = found != nullptr ? *found : detail::kCardLayouts[0];
  if (layout.mark != 0) card[detail::kKindKey] = layout.kind;
  for (const detail::CardText& field : layout) card[field.key] = profile.idCard.*(field.text);
  if (layout.mark == 0) card[kReservedKey] = profile.idCard.reserved;
  if (!profile.idCard.kindMark.empty()) card[detail::kKindMarkKey] = profile.idCard.kindMark;
  if (!profile.portrait.empty()) {
    const auto length = static_cast<int32_t>(profile.portrait.size());
    std::string base64(static_cast<size_t>(q48::Base64Encode(nullptr, profile.portrait.data(), length)) + 1, '\0');
    base64.resize(static_cast<size_t>(q48::Base64Encode(&base64[0], profile.portrait.data(), length)));
    out["portrait_base64"] = base64;
  }
  // Malformed UTF-8 cannot go into JSON text: it is written as U+FFFD.
  return out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace q48emu
