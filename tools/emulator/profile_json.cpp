// Card profiles as JSON: a small strict parser into a value tree, then a
// mapping of that tree onto CardProfile that knows every key.
#include "profile_json.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "emulator_internal.h"
#include "photo/base64.h"

namespace q48emu {

namespace {

constexpr int kMaxDepth = 32;
constexpr size_t kMaxProfileFile = 1024 * 1024;
constexpr size_t kMaxPortrait = 1024;
constexpr size_t kMaxReserved = 10;
constexpr size_t kMaxIccid = 255;       // the answer's count byte
constexpr size_t kMaxIdentText = 65527;  // what the frame's 16-bit length leaves

struct Position {
  int line = 1;
  int column = 1;
};

// Thrown inside this file only; turned into the caller's error text.
struct Failure {
  Position at;
  std::string message;
};

struct Member;

struct Value {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  Position at;
  bool boolean = false;
  std::string text;  // a string's UTF-8 contents, or a number as written
  std::vector<Value> items;
  std::vector<Member> members;
};

struct Member {
  std::string key;
  Position at;
  Value value;
};

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at text[at], or 0. The second
// byte's range rules out overlong forms, surrogates and values past U+10FFFF.
size_t Utf8Length(const std::string& text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!IsContinuation(static_cast<unsigned char>(text[at + i]))) return 0;
  return length;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  Value ParseDocument() {
    // Editors on Windows like to start UTF-8 files with a byte-order mark.
    if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
    SkipSpace();
    if (AtEnd()) Fail("the file is empty; a profile is one JSON object");
    Value value = ParseValue(0);
    SkipSpace();
    if (!AtEnd()) Fail("unexpected " + Describe() + " after the end of the profile");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& message) const { throw Failure{here_, message}; }

  bool AtEnd() const { return pos_ >= text_.size(); }
  unsigned char Peek() const { return static_cast<unsigned char>(text_[pos_]); }

  // Columns count characters, not bytes.
  void Advance() {
    const unsigned char byte = Peek();
    ++pos_;
    if (byte == '\n') {
      ++here_.line;
      here_.column = 1;
    } else if (!IsContinuation(byte)) {
      ++here_.column;
    }
  }

  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) Advance();
  }

  // What stands at the current position, for messages.
  std::string Describe() const {
    if (AtEnd()) return "end of file";
    const unsigned char byte = Peek();
    char text[32];
    if (byte >= 0x20 && byte < 0x7F) {
      std::snprintf(text, sizeof text, "'%c'", byte);
    } else if (byte < 0x80) {
      std::snprintf(text, sizeof text, "control character U+%04X", byte);
    } else if (const size_t length = Utf8Length(text_, pos_)) {
      return "'" + text_.substr(pos_, length) + "'";
    } else {
      std::snprintf(text, sizeof text, "byte 0x%02X (not UTF-8)", byte);
    }
    return text;
  }

  void Expect(char wanted, const std::string& context) {
    if (AtEnd() || Peek() != static_cast<unsigned char>(wanted))
      Fail(std::string("expected '") + wanted + "' " + context + ", found " + Describe());
    Advance();
  }

  Value ParseValue(int depth) {
    if (depth > kMaxDepth) Fail("nested deeper than " + std::to_string(kMaxDepth) + " levels");
    if (AtEnd()) Fail("expected a value, found end of file");
    const unsigned char c = Peek();
    if (c == '{') return ParseObject(depth);
    if (c == '[') return ParseArray(depth);
    Value value;
    value.at = here_;
    if (c == '"') {
      value.kind = Value::Kind::kString;
      value.text = ParseString();
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      value.kind = Value::Kind::kNumber;
      value.text = ParseNumber();
    } else if (Literal("true")) {
      value.kind = Value::Kind::kBool;
      value.boolean = true;
    } else if (Literal("false")) {
      value.kind = Value::Kind::kBool;
    } else if (!Literal("null")) {
      Fail("expected a value, found " + Describe());
    }
    return value;
  }

  bool Literal(const char* word) {
    const size_t length = std::strlen(word);
    if (text_.compare(pos_, length, word) != 0) return false;
    for (size_t i = 0; i < length; ++i) Advance();
    return true;
  }

  Value ParseObject(int depth) {
    Value object;
    object.kind = Value::Kind::kObject;
    object.at = here_;
    Advance();
    SkipSpace();
    if (!AtEnd() && Peek() == '}') {
      Advance();
      return object;
    }
    for (;;) {
      if (AtEnd() || Peek() != '"') Fail("expected a key in double quotes, found " + Describe());
      Member member;
      member.at = here_;
      member.key = ParseString();
      for (const Member& earlier : object.members)
        if (earlier.key == member.key)
          throw Failure{member.at, "duplicate key \"" + member.key + "\" (first at line " +
                                       std::to_string(earlier.at.line) + ", column " +
                                       std::to_string(earlier.at.column) + ")"};
      SkipSpace();
      Expect(':', "after the key \"" + member.key + "\"");
      SkipSpace();
      member.value = ParseValue(depth + 1);
      const std::string key = member.key;
      object.members.push_back(std::move(member));
      SkipSpace();
      if (!AtEnd() && Peek() == ',') {
        Advance();
        SkipSpace();
        if (!AtEnd() && Peek() == '}') Fail("a comma before '}' is not allowed in JSON");
        continue;
      }
      if (!AtEnd() && Peek() == '}') {
        Advance();
        return object;
      }
      Fail("expected ',' or '}' after the value of \"" + key + "\", found " + Describe());
    }
  }

  Value ParseArray(int depth) {
    Value array;
    array.kind = Value::Kind::kArray;
    array.at = here_;
    Advance();
    SkipSpace();
    if (!AtEnd() && Peek() == ']') {
      Advance();
      return array;
    }
    for (;;) {
      array.items.push_back(ParseValue(depth + 1));
      SkipSpace();
      if (!AtEnd() && Peek() == ',') {
        Advance();
        SkipSpace();
        if (!AtEnd() && Peek() == ']') Fail("a comma before ']' is not allowed in JSON");
        continue;
      }
      if (!AtEnd() && Peek() == ']') {
        Advance();
        return array;
      }
      Fail("expected ',' or ']' in an array, found " + Describe());
    }
  }

  uint32_t Hex4() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char c = AtEnd() ? 0 : Peek();
      uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10u;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10u;
      } else {
        Fail("\\u needs four hex digits, found " + Describe());
      }
      value = value * 16 + digit;
      Advance();
    }
    return value;
  }

  std::string ParseString() {
    const Position start = here_;
    Advance();  // the opening quote
    std::string out;
    for (;;) {
      if (AtEnd())
        Fail("the string that starts at line " + std::to_string(start.line) + ", column " +
             std::to_string(start.column) + " has no closing quote");
      const unsigned char c = Peek();
      if (c == '"') {
        Advance();
        return out;
      }
      if (c == '\\') {
        const Position escape = here_;
        Advance();
        if (AtEnd()) continue;  // reported as the missing closing quote
        static const char kEscapes[] = "\"\\/bfnrt";
        static const char kMeanings[] = "\"\\/\b\f\n\r\t";
        const unsigned char e = Peek();
        const char* simple = e != 0 ? std::strchr(kEscapes, e) : nullptr;
        if (simple != nullptr) {
          out.push_back(kMeanings[simple - kEscapes]);
          Advance();
          continue;
        }
        if (e != 'u') Fail("unknown escape: a backslash before " + Describe());
        Advance();
        uint32_t cp = Hex4();
        if (cp >= 0xDC00 && cp <= 0xDFFF)
          throw Failure{escape, "a low surrogate \\u escape without a high one before it"};
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (text_.compare(pos_, 2, "\\u") != 0)
            throw Failure{escape, "a high surrogate \\u escape must be followed by a low one"};
          Advance();
          Advance();
          const uint32_t low = Hex4();
          if (low < 0xDC00 || low > 0xDFFF)
            throw Failure{escape, "a high surrogate \\u escape must be followed by a low one"};
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(cp, &out);
        continue;
      }
      if (c < 0x20) Fail("raw " + Describe() + " in a string; write it as an escape such as \\n");
      const size_t length = Utf8Length(text_, pos_);
      if (length == 0) Fail("malformed UTF-8 in a string (" + Describe() + ")");
      out.append(text_, pos_, length);
      for (size_t i = 0; i < length; ++i) Advance();
    }
  }

  bool AtDigit() const { return !AtEnd() && Peek() >= '0' && Peek() <= '9'; }

  std::string ParseNumber() {
    const size_t start = pos_;
    if (Peek() == '-') Advance();
    if (!AtDigit()) Fail("expected a digit, found " + Describe());
    if (Peek() == '0') {
      Advance();
      if (AtDigit()) Fail("a number may not start with 0");
    } else {
      while (AtDigit()) Advance();
    }
    if (!AtEnd() && Peek() == '.') {
      Advance();
      if (!AtDigit()) Fail("expected a digit after '.', found " + Describe());
      while (AtDigit()) Advance();
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      Advance();
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) Advance();
      if (!AtDigit()) Fail("expected a digit in the exponent, found " + Describe());
      while (AtDigit()) Advance();
    }
    return text_.substr(start, pos_ - start);
  }

  const std::string& text_;
  size_t pos_ = 0;
  Position here_;
};

std::string Found(const Value& value) {
  switch (value.kind) {
    case Value::Kind::kNull:
      return "null";
    case Value::Kind::kBool:
      return value.boolean ? "true" : "false";
    case Value::Kind::kNumber:
      return "the number " + value.text;
    case Value::Kind::kString:
      return "a string";
    case Value::Kind::kArray:
      return "an array";
    case Value::Kind::kObject:
      return "an object";
  }
  return "something else";
}

[[noreturn]] void Reject(const Member& member, const std::string& problem) {
  throw Failure{member.value.at, "\"" + member.key + "\" " + problem};
}

void RequireKind(const Member& member, Value::Kind kind, const char* expected) {
  if (member.value.kind != kind) Reject(member, std::string("must be ") + expected + ", found " + Found(member.value));
}

std::string Text(const Member& member) {
  RequireKind(member, Value::Kind::kString, "a string");
  return member.value.text;
}

std::string TextOfBytes(const Member& member, size_t maxBytes) {
  std::string text = Text(member);
  if (text.size() > maxBytes)
    Reject(member, "is " + std::to_string(text.size()) + " bytes long; at most " + std::to_string(maxBytes) +
                       " fit");
  return text;
}

// A card text field: at most `units` UTF-16 code units.
std::string CardText(const Member& member, size_t units) {
  std::string text = Text(member);
  const size_t have = detail::Utf8ToUtf16(text).size();
  if (have > units)
    Reject(member, "is " + std::to_string(have) + " characters long (UTF-16 units); the card holds " +
                       std::to_string(units));
  return text;
}

[[noreturn]] void UnknownKey(const Member& member, const char* known) {
  throw Failure{member.at, "unknown key \"" + member.key + "\" (known keys: " + known + ")"};
}

// Strict Base64; on failure, the offset of the first bad character and why.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>* out, size_t* bad, std::string* why) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out->clear();
  if (text.size() % 4 != 0) {
    *bad = text.size();
    *why = "its length " + std::to_string(text.size()) + " is not a multiple of 4";
    return false;
  }
  for (size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    uint32_t bits = 0;
    int padding = 0;
    for (size_t i = 0; i < 4; ++i) {
      const char c = text[group + i];
      const size_t digit = kAlphabet.find(c);
      if (c == '=' && last && i >= 2 && (i == 3 || text[group + 3] == '=')) {
        ++padding;
        bits <<= 6;
        continue;
      }
      if (digit == std::string::npos || padding > 0) {
        *bad = group + i;
        *why = c == '=' ? "'=' may only pad the end" : "it holds a character outside the Base64 alphabet";
        return false;
      }
      bits = (bits << 6) | static_cast<uint32_t>(digit);
    }
    out->push_back(static_cast<uint8_t>(bits >> 16));
    if (padding < 2) out->push_back(static_cast<uint8_t>((bits >> 8) & 0xFF));
    if (padding < 1) out->push_back(static_cast<uint8_t>(bits & 0xFF));
  }
  return true;
}

std::vector<uint8_t> PortraitFromBase64(const Member& member) {
  const std::string text = Text(member);
  std::vector<uint8_t> bytes;
  size_t bad = 0;
  std::string why;
  if (!DecodeBase64(text, &bytes, &bad, &why)) {
    // Base64 is ASCII and a string holds no line break: one column a byte.
    Position at = member.value.at;
    at.column += 1 + static_cast<int>(bad);
    throw Failure{at, "\"" + member.key + "\" is not Base64: " + why};
  }
  if (bytes.size() > kMaxPortrait)
    Reject(member, "holds " + std::to_string(bytes.size()) + " bytes; the card has room for " +
                       std::to_string(kMaxPortrait));
  return bytes;
}

std::vector<uint8_t> PortraitFromFile(const Member& member, const std::string& baseDir) {
  const std::string name = Text(member);
  if (name.empty()) Reject(member, "is empty; give the path of a portrait file");
  std::filesystem::path path(name);
  if (path.is_relative()) path = std::filesystem::path(baseDir) / path;
  const std::string shown = "\"" + name + "\" (" + path.string() + ")";
  std::FILE* file = std::fopen(path.string().c_str(), "rb");
  if (file == nullptr) Reject(member, "cannot be opened: " + shown + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes(kMaxPortrait + 1);
  errno = 0;
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) Reject(member, "cannot be read: " + shown + ": " + std::strerror(error));
  if (got > kMaxPortrait)
    Reject(member, "names a file larger than the card's " + std::to_string(kMaxPortrait) + " bytes: " + shown);
  bytes.resize(got);
  return bytes;
}

const char kIdCardKeys[] = "name, sex, nationCode, birthDate, address, idNumber, authority, validity, reserved";
const char kProfileKeys[] =
    "description, identText, iccid, cardType, acceptWrites, idCard, portrait_base64, portrait_file";

void ReadIdCard(const Member& idCard, IdCardFields* fields) {
  RequireKind(idCard, Value::Kind::kObject, "an object of card texts");
  struct Field {
    const char* key;
    std::string IdCardFields::*text;
    size_t units;  // 0: raw bytes, at most kMaxReserved
  };
  static const Field kFields[] = {
      {"name", &IdCardFields::name, 15},           {"sex", &IdCardFields::sex, 1},
      {"nationCode", &IdCardFields::nationCode, 2}, {"birthDate", &IdCardFields::birthDate, 8},
      {"address", &IdCardFields::address, 35},      {"idNumber", &IdCardFields::idNumber, 18},
      {"authority", &IdCardFields::authority, 15},  {"validity", &IdCardFields::validity, 16},
      {"reserved", &IdCardFields::reserved, 0},
  };
  for (const Member& member : idCard.value.members) {
    const Field* field = nullptr;
    for (const Field& candidate : kFields)
      if (member.key == candidate.key) field = &candidate;
    if (field == nullptr) UnknownKey(member, kIdCardKeys);
    fields->*(field->text) = field->units ? CardText(member, field->units) : TextOfBytes(member, kMaxReserved);
  }
}

uint8_t CardType(const Member& member) {
  const char* expected = "an integer from 0 to 255";
  RequireKind(member, Value::Kind::kNumber, expected);
  const std::string& digits = member.value.text;
  if (digits.find_first_of(".eE") != std::string::npos)
    Reject(member, std::string("must be ") + expected + ", found " + digits);
  if (digits[0] == '-' || digits.size() > 3 || std::stoi(digits) > 255)
    Reject(member, "is " + digits + ", outside 0 to 255");
  return static_cast<uint8_t>(std::stoi(digits));
}

void ReadProfile(const Value& root, const std::string& baseDir, CardProfile* profile, std::string* description) {
  if (root.kind != Value::Kind::kObject) throw Failure{root.at, "a profile is one JSON object, found " + Found(root)};
  const Member* portraitFrom = nullptr;
  for (const Member& member : root.members) {
    const std::string& key = member.key;
    if (key == "description") {
      *description = Text(member);
    } else if (key == "identText") {
      profile->identText = TextOfBytes(member, kMaxIdentText);
    } else if (key == "iccid") {
      profile->iccid = TextOfBytes(member, kMaxIccid);
    } else if (key == "cardType") {
      profile->cardType = CardType(member);
    } else if (key == "acceptWrites") {
      RequireKind(member, Value::Kind::kBool, "true or false");
      profile->acceptWrites = member.value.boolean;
    } else if (key == "idCard") {
      ReadIdCard(member, &profile->idCard);
    } else if (key == "portrait_base64" || key == "portrait_file") {
      if (portraitFrom != nullptr)
        throw Failure{member.at, "give the portrait once: \"" + portraitFrom->key + "\" or \"" + key + "\", not both"};
      portraitFrom = &member;
      profile->portrait = key == "portrait_file" ? PortraitFromFile(member, baseDir) : PortraitFromBase64(member);
    } else {
      UnknownKey(member, kProfileKeys);
    }
  }
}

// JSON string with the escapes it needs; UTF-8 stays as it is.
std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", c);
      out += escape;
    } else if (c >= 0x80) {
      const size_t length = Utf8Length(text, at);
      if (length == 0) {
        out += "\xEF\xBF\xBD";
        ++at;
        continue;
      }
      out.append(text, at, length);
      at += length;
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++at;
  }
  return out + "\"";
}

std::string Where(const std::string& source, Position at) {
  return source + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": ";
}

}  // namespace

bool ParseProfile(const std::string& text, const std::string& source, const std::string& baseDir,
                  CardProfile* profile, std::string* error, std::string* description) {
  CardProfile parsed;
  std::string about;
  try {
    const Value root = Parser(text).ParseDocument();
    ReadProfile(root, baseDir, &parsed, &about);
  } catch (const Failure& failure) {
    if (error) *error = Where(source, failure.at) + failure.message;
    return false;
  }
  *profile = std::move(parsed);
  if (description) *description = std::move(about);
  return true;
}

bool LoadProfile(const std::string& path, CardProfile* profile, std::string* error, std::string* description) {
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
  return ParseProfile(text, path, baseDir, profile, error, description);
}

std::string ProfileToJson(const CardProfile& profile, const std::string& description) {
  const IdCardFields& id = profile.idCard;
  std::string out = "{\n";
  if (!description.empty()) out += "  \"description\": " + Quote(description) + ",\n";
  out += "  \"identText\": " + Quote(profile.identText) + ",\n";
  out += "  \"iccid\": " + Quote(profile.iccid) + ",\n";
  out += "  \"cardType\": " + std::to_string(profile.cardType) + ",\n";
  out += std::string("  \"acceptWrites\": ") + (profile.acceptWrites ? "true" : "false") + ",\n";
  out += "  \"idCard\": {\n";
  const std::pair<const char*, const std::string*> fields[] = {
      {"name", &id.name},         {"sex", &id.sex},           {"nationCode", &id.nationCode},
      {"birthDate", &id.birthDate}, {"address", &id.address}, {"idNumber", &id.idNumber},
      {"authority", &id.authority}, {"validity", &id.validity}, {"reserved", &id.reserved},
  };
  for (const auto& [key, text] : fields) {
    out += std::string("    \"") + key + "\": " + Quote(*text);
    out += text == &id.reserved ? "\n" : ",\n";
  }
  out += "  }";
  if (!profile.portrait.empty()) {
    const auto length = static_cast<int32_t>(profile.portrait.size());
    std::string base64(static_cast<size_t>(q48::Base64Encode(nullptr, profile.portrait.data(), length)) + 1, '\0');
    base64.resize(static_cast<size_t>(q48::Base64Encode(&base64[0], profile.portrait.data(), length)));
    out += ",\n  \"portrait_base64\": " + Quote(base64);
  }
  return out + "\n}\n";
}

}  // namespace q48emu
