// Card profiles in JSON: the shipped files, what the reader accepts, and the
// message for each kind of mistake.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emulator.h"
#include "profile_json.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kProfiles = Q48_PROFILES_DIR;

void ExpectSameProfile(const q48emu::CardProfile& got, const q48emu::CardProfile& want) {
  EXPECT_EQ(got.identText, want.identText);
  EXPECT_EQ(got.iccid, want.iccid);
  EXPECT_EQ(got.cardType, want.cardType);
  EXPECT_EQ(got.acceptWrites, want.acceptWrites);
  EXPECT_EQ(got.portrait, want.portrait);
  const q48emu::IdCardFields &a = got.idCard, &b = want.idCard;
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.sexCode, b.sexCode);
  EXPECT_EQ(a.nationCode, b.nationCode);
  EXPECT_EQ(a.birthDate, b.birthDate);
  EXPECT_EQ(a.address, b.address);
  EXPECT_EQ(a.idNumber, b.idNumber);
  EXPECT_EQ(a.issuingAuthority, b.issuingAuthority);
  EXPECT_EQ(a.validFrom, b.validFrom);
  EXPECT_EQ(a.validTo, b.validTo);
  EXPECT_EQ(a.reserved, b.reserved);
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// The error for `json`, or "" when it parses.
std::string ErrorOf(const std::string& json, const std::string& baseDir = ".") {
  q48emu::CardProfile profile;
  std::string error;
  if (q48emu::ParseProfile(json, "p.json", baseDir, &profile, &error)) return "";
  return error;
}

q48emu::CardProfile Parsed(const std::string& json, std::string* description = nullptr) {
  q48emu::CardProfile profile;
  std::string error;
  EXPECT_TRUE(q48emu::ParseProfile(json, "p.json", ".", &profile, &error, description)) << error;
  return profile;
}

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/q48-profile-XXXXXX";
    path_ = ::mkdtemp(name) ? name : "";
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    const fs::path file = fs::path(path_) / name;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
    return file.string();
  }

 private:
  std::string path_;
};

TEST(ProfileJson, ShippedProfilesLoad) {
  q48emu::CardProfile profile;
  std::string error, description;
  std::vector<std::string> warnings;
  ASSERT_TRUE(q48emu::LoadProfile(kProfiles + "/sample-card.json", &profile, &error, &description, &warnings)) << error;
  EXPECT_TRUE(warnings.empty());
  // The shipped sample and the built-in one must not drift apart.
  ExpectSameProfile(profile, q48emu::SampleCard());
  EXPECT_FALSE(description.empty());

  ASSERT_TRUE(q48emu::LoadProfile(kProfiles + "/long-term-validity.json", &profile, &error)) << error;
  EXPECT_EQ(profile.idCard.validFrom, "20150312");
  EXPECT_EQ(profile.idCard.validTo, "长期");
  EXPECT_EQ(profile.idCard.nationCode, "03");
  EXPECT_EQ(profile.portrait, q48emu::SampleCard().portrait);  // from its portrait_file

  ASSERT_TRUE(q48emu::LoadProfile(kProfiles + "/sim-refuses-writes.json", &profile, &error)) << error;
  EXPECT_FALSE(profile.acceptWrites);
  EXPECT_EQ(profile.cardType, 2);
  EXPECT_TRUE(profile.idCard.name.empty());
  EXPECT_TRUE(profile.portrait.empty());
}

TEST(ProfileJson, WrittenProfilesReadBackTheSame) {
  q48emu::CardProfile profile;
  profile.identText = "quote \" backslash \\ slash / tab\t nl\n cr\r bell\x07 del\x7F";
  profile.iccid = "";
  profile.cardType = 255;
  profile.acceptWrites = false;
  profile.idCard.name = "\xF0\xA0\xAE\xB7";  // outside the BMP
  profile.idCard.reserved = std::string("A\0B", 3);
  for (int i = 0; i < 1024; ++i) profile.portrait.push_back(static_cast<uint8_t>(i * 7));
  std::string description;
  ExpectSameProfile(Parsed(q48emu::ProfileToJson(profile, "说明 \"x\""), &description), profile);
  EXPECT_EQ(description, "说明 \"x\"");

  for (size_t size : {0, 1, 2, 3}) {
    profile.portrait.resize(size);
    ExpectSameProfile(Parsed(q48emu::ProfileToJson(profile)), profile);
  }

  // Malformed UTF-8 cannot go into JSON text; it comes back as U+FFFD.
  profile.idCard.address = "a\xFF" "b";
  EXPECT_EQ(Parsed(q48emu::ProfileToJson(profile)).idCard.address, "a\xEF\xBF\xBD" "b");
}

TEST(ProfileJson, AcceptsWhatJsonAllows) {
  std::string description;
  const q48emu::CardProfile profile = Parsed(
      "\xEF\xBB\xBF\r\n{ \"id_card\" :{\"name\":\"\\u9648\\uD842\\uDFB7\\t\\/\",\t\"valid_to\": \"\\u957F\\u671F\"},"
      "\n\"card_type\": 0, \"accept_writes\": false, \"description\": \"\\\"quoted\\\"\\u0000\","
      " \"portrait_base64\": \"AAE=\"}\r\n",
      &description);
  EXPECT_EQ(profile.idCard.name, "陈\xF0\xA0\xAE\xB7\t/");
  EXPECT_EQ(profile.idCard.validTo, "长期");
  EXPECT_EQ(profile.cardType, 0);
  EXPECT_FALSE(profile.acceptWrites);
  EXPECT_EQ(description, std::string("\"quoted\"\0", 9));
  EXPECT_EQ(profile.portrait, Bytes({0x00, 0x01}));

  // Keys left out keep the defaults.
  ExpectSameProfile(Parsed("{}"), q48emu::CardProfile());

  // Every limit itself is allowed.
  const std::string full = "{\"id_card\": {\"name\": \"" + std::string(15, 'n') + "\", \"reserved\": \"0123456789\"}," +
                           "\"iccid\": \"" + std::string(255, '8') + "\", \"card_type\": 255," +
                           "\"portrait_base64\": \"" + std::string(1366, 'A') + "==\"}";
  const q48emu::CardProfile limits = Parsed(full);
  EXPECT_EQ(limits.portrait.size(), 1024u);
  EXPECT_EQ(limits.cardType, 255);
}

// Syntax errors are worded by the JSON library; what is ours is the place,
// from its byte position, and that nothing beyond plain JSON gets through.
TEST(ProfileJson, MalformedJsonIsPlacedByLineAndColumn) {
  struct Case {
    std::string json;
    std::string where;  // "p.json:line:column: "
    std::string what;   // part of the message
  };
  const Case cases[] = {
      {"", "p.json:1:1: ", "the file is empty; a profile is one JSON object"},
      {"\xEF\xBB\xBF \n\t", "p.json:2:2: ", "the file is empty"},
      {"[]", "p.json:1:1: ", "a profile is one JSON object, found an array"},
      {"{\"iccid\": \"1\",}", "p.json:1:15: ", "unexpected '}'"},
      {"{\n  \"iccid\": \"1\"\n  \"card_type\": 1\n}", "p.json:3:13: ", "unexpected string literal"},
      {"{// note\n}", "p.json:1:2: ", "invalid literal"},
      {"{'iccid': 1}", "p.json:1:2: ", "invalid literal"},
      {"{\"iccid\": \"12", "p.json:1:14: ", "missing closing quote"},
      {"{\"iccid\": \"1\n2\"}", "p.json:1:13: ", "control character U+000A (LF) must be escaped"},
      {"{\"iccid\": \"\\uDC00\"}", "p.json:1:17: ", "surrogate"},
      {"{\"iccid\": \"a\xC0\xAF\"}", "p.json:1:13: ", "ill-formed UTF-8"},
      {"{\"card_type\": 01}", "p.json:1:16: ", "unexpected number literal"},
      {"{\"card_type\": -}", "p.json:1:16: ", "expected digit after '-'"},
      {"{} {}", "p.json:1:4: ", "expected end of input"},
      // A byte-order mark takes no column; three Chinese characters take
      // nine bytes and three columns.
      {"\xEF\xBB\xBF{\"iccid\" 1}", "p.json:1:10: ", "expected ':'"},
      {"{\"id_card\": {\"name\": \"陈思远\" x}}", "p.json:1:28: ", "invalid literal"},
  };
  for (const Case& c : cases) {
    const std::string error = ErrorOf(c.json);
    EXPECT_EQ(error.rfind(c.where, 0), 0u) << c.json << "\n" << error;
    EXPECT_NE(error.find(c.what, c.where.size()), std::string::npos) << c.json << "\n" << error;
  }
  // The message never quotes the profile's text: it may be a holder's.
  EXPECT_EQ(ErrorOf("{\"id_card\": {\"name\": \"陈思远\" x}}"),
            "p.json:1:28: syntax error while parsing object - invalid literal; expected '}'");
  EXPECT_EQ(ErrorOf("{\"iccid\": \"89860012"), "p.json:1:20: syntax error while parsing value - invalid string: missing closing quote");
}

TEST(ProfileJson, WrongKeysTypesAndRangesAreNamed) {
  struct Case {
    std::string json;
    std::string error;
  };
  const Case cases[] = {
      {"{\"cardtype\": 1}",
       "p.json:1:2: unknown key \"cardtype\" (known keys: description, ident_text, iccid, card_type, accept_writes, "
       "id_card, portrait_base64, portrait_file)"},
      {"{\"id_card\": {\"nation\": \"01\"}}",
       "p.json:1:14: unknown key \"nation\" (known keys: card_kind, name, sex_code, nation_code, birth_date, address, "
       "id_number, issuing_authority, valid_from, valid_to, pass_number, issue_count, english_name, nationality, "
       "chinese_name, card_version, authority_code, renewal_count, previous_number_link, reserved, kind_mark)"},
      {"{\"card_type\": \"1\"}", "p.json:1:15: \"card_type\" must be an integer from 0 to 255, found a string"},
      {"{\"card_type\": 1.5}", "p.json:1:15: \"card_type\" must be an integer from 0 to 255, found 1.5"},
      {"{\"card_type\": 1e2}", "p.json:1:15: \"card_type\" must be an integer from 0 to 255, found 1e2"},
      {"{\"card_type\": 256}", "p.json:1:15: \"card_type\" is 256, outside 0 to 255"},
      {"{\"card_type\": -1}", "p.json:1:15: \"card_type\" is -1, outside 0 to 255"},
      {"{\"card_type\": 99999999999999999999}", "p.json:1:15: \"card_type\" is 99999999999999999999, outside 0 to 255"},
      {"{\"accept_writes\": 1}", "p.json:1:19: \"accept_writes\" must be true or false, found the number 1"},
      // Places after a number (read one byte beyond) and after a closed object.
      {"{\"card_type\": 7,\"accept_writes\": -2.5e1}",
       "p.json:1:34: \"accept_writes\" must be true or false, found the number -2.5e1"},
      {"{\"id_card\": {\"sex_code\": \"1\"},\n\t\"iccid\": true}", "p.json:2:11: \"iccid\" must be a string, found true"},
      {"{\"iccid\": null}", "p.json:1:11: \"iccid\" must be a string, found null"},
      {"{\"id_card\": []}", "p.json:1:13: \"id_card\" must be an object of card texts, found an array"},
      {"{\"id_card\": {\"name\": false}}", "p.json:1:22: \"name\" must be a string, found false"},
      {"{\"description\": {}}", "p.json:1:17: \"description\" must be a string, found an object"},
      // Nesting is refused where it starts, however deep it goes.
      {"{\"iccid\": " + std::string(40, '[') + std::string(40, ']') + "}",
       "p.json:1:11: \"iccid\" must be a string, found an array"},
      {"{\"id_card\": {\"name\": \"a\", \"name\": \"b\"}}",
       "p.json:1:27: duplicate key \"name\" (first at line 1, column 14)"},
      {"{\"id_card\": {\"name\": \"" + std::string(16, 'n') + "\"}}",
       "p.json:1:22: \"name\" is 16 characters long (UTF-16 units); the card holds 15"},
      // Eight characters outside the BMP take sixteen units.
      {"{\"id_card\": {\"name\": \"" + Repeat("\xF0\xA0\xAE\xB7", 8) + "\"}}",
       "p.json:1:22: \"name\" is 16 characters long (UTF-16 units); the card holds 15"},
      {"{\"id_card\": {\"sex_code\": \"12\"}}",
       "p.json:1:26: \"sex_code\" is 2 characters long (UTF-16 units); the card holds 1"},
      {"{\"id_card\": {\"valid_to\": \"长期长期长期长期长期\"}}",
       "p.json:1:26: \"valid_to\" is 10 characters long (UTF-16 units); the card holds 8"},
      {"{\"id_card\": {\"reserved\": \"ABCDEFGHIJK\"}}", "p.json:1:26: \"reserved\" is 11 bytes long; at most 10 fit"},
      {"{\"id_card\": {\"reserved\": \"长期长期\"}}", "p.json:1:26: \"reserved\" is 12 bytes long; at most 10 fit"},
      {"{\"iccid\": \"" + std::string(256, '8') + "\"}", "p.json:1:11: \"iccid\" is 256 bytes long; at most 255 fit"},
      {"{\"ident_text\": \"" + std::string(65528, 'i') + "\"}",
       "p.json:1:16: \"ident_text\" is 65528 bytes long; at most 65527 fit"},
      {"{\"portrait_base64\": \"" + std::string(1368, 'A') + "\"}",
       "p.json:1:21: \"portrait_base64\" holds 1026 bytes; the card has room for 1024"},
      {"{\"portrait_base64\": \"AAE\"}", "p.json:1:25: \"portrait_base64\" is not Base64: its length is not a multiple of 4"},
      // With an escape in the way the string's start is shown.
      {"{\"portrait_base64\": \"\\u0041AA-\"}",
       "p.json:1:21: \"portrait_base64\" is not Base64: it holds a character outside the Base64 alphabet"},
      {"{\"portrait_base64\": \"AA-A\"}",
       "p.json:1:24: \"portrait_base64\" is not Base64: it holds a character outside the Base64 alphabet"},
      {"{\"portrait_base64\": \"AA==AAAA\"}", "p.json:1:24: \"portrait_base64\" is not Base64: '=' may only pad the end"},
      {"{\"portrait_base64\": \"AAA AAAA\"}",
       "p.json:1:25: \"portrait_base64\" is not Base64: it holds a character outside the Base64 alphabet"},
      {"{\"portrait_base64\": \"A===\"}", "p.json:1:23: \"portrait_base64\" is not Base64: '=' may only pad the end"},
      {"{\"portrait_base64\": \"AAAA\", \"portrait_file\": \"x\"}",
       "p.json:1:29: give the portrait once: \"portrait_base64\" or \"portrait_file\", not both"},
      {"{\"portrait_file\": \"\"}", "p.json:1:19: \"portrait_file\" is empty; give the path of a portrait file"},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.json), c.error) << c.json.substr(0, 80);

  // A profile that fails leaves the caller's alone.
  q48emu::CardProfile profile = q48emu::SampleCard();
  std::string error;
  EXPECT_FALSE(q48emu::ParseProfile("{\"iccid\": \"1\", \"card_type\": 300}", "p.json", ".", &profile, &error));
  ExpectSameProfile(profile, q48emu::SampleCard());
}

// The first profiles' camelCase keys are read for one more release, each
// with a warning; an old and a new name of one key are that key twice.
TEST(ProfileJson, OldKeysAreReadWithAWarning) {
  q48emu::CardProfile profile;
  std::string error;
  std::vector<std::string> warnings;
  ASSERT_TRUE(q48emu::ParseProfile(
      "{\"identText\": \"CPU-Q48-OLD\", \"cardType\": 7, \"acceptWrites\": false, \"idCard\": {\"sex\": \"2\",\n"
      "\"nationCode\": \"03\", \"birthDate\": \"19580312\", \"idNumber\": \"X\", \"authority\": \"A\", "
      "\"validity\": \"20150312长期\"}}",
      "p.json", ".", &profile, &error, nullptr, &warnings))
      << error;
  EXPECT_EQ(profile.identText, "CPU-Q48-OLD");
  EXPECT_EQ(profile.cardType, 7);
  EXPECT_FALSE(profile.acceptWrites);
  const q48emu::IdCardFields& card = profile.idCard;
  EXPECT_EQ(card.sexCode + card.nationCode + card.birthDate + card.idNumber + card.issuingAuthority, "20319580312XA");
  EXPECT_EQ(card.validFrom, "20150312");
  EXPECT_EQ(card.validTo, "长期");
  ASSERT_EQ(warnings.size(), 10u);
  EXPECT_EQ(warnings[0], "p.json:1:2: \"identText\" is the old name of \"ident_text\"; old names are read only until the "
                         "next release");
  EXPECT_EQ(warnings[9], "p.json:2:81: \"validity\" is the old name of \"valid_from\" and \"valid_to\"; old names are "
                         "read only until the next release");

  // The old validity is cut where valid_from's room ends, characters and all.
  EXPECT_EQ(Parsed("{\"idCard\": {\"validity\": \"2020长期长期\"}}").idCard.validFrom, "2020长期长期");
  EXPECT_EQ(Parsed("{\"idCard\": {\"validity\": \"2020长期长期长\"}}").idCard.validTo, "长");
  EXPECT_EQ(ErrorOf("{\"idCard\": {\"validity\": \"" + std::string(17, '2') + "\"}}"),
            "p.json:1:25: \"validity\" is 17 characters long (UTF-16 units); the card holds 16");
  EXPECT_EQ(ErrorOf("{\"idCard\": {}, \"id_card\": {}}"),
            "p.json:1:16: duplicate key \"id_card\" (first at line 1, column 2)");
  EXPECT_EQ(ErrorOf("{\"id_card\": {\"valid_to\": \"长期\", \"validity\": \"20150312\"}}"),
            "p.json:1:32: duplicate key \"validity\" (first at line 1, column 14)");
}

TEST(ProfileJson, FilesAndPortraitFiles) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const Bytes portrait = q48emu::SampleCard().portrait;
  dir.Write("faces/p.wlt", std::string(portrait.begin(), portrait.end()));
  dir.Write("faces/big.wlt", std::string(1025, 'x'));
  dir.Write("faces/full.wlt", std::string(1024, 'x'));
  const std::string profilePath = dir.Write("cards/card.json", "{\"portrait_file\": \"../faces/p.wlt\"}");

  // Relative to the profile's folder, not to the current directory.
  q48emu::CardProfile profile;
  std::string error;
  ASSERT_TRUE(q48emu::LoadProfile(profilePath, &profile, &error)) << error;
  EXPECT_EQ(profile.portrait, portrait);

  const std::string faces = dir.path() + "/faces";
  EXPECT_EQ(ErrorOf("{\"portrait_file\": \"full.wlt\"}", faces), "");
  EXPECT_EQ(ErrorOf("{\"portrait_file\": \"" + faces + "/p.wlt\"}", "/nonexistent"), "");  // absolute
  EXPECT_EQ(ErrorOf("{\"portrait_file\": \"big.wlt\"}", faces),
            "p.json:1:19: \"portrait_file\" names a file larger than the card's 1024 bytes: \"big.wlt\" (" + faces +
                "/big.wlt)");
  EXPECT_EQ(ErrorOf("{\"portrait_file\": \"gone.wlt\"}", faces),
            "p.json:1:19: \"portrait_file\" cannot be opened: \"gone.wlt\" (" + faces +
                "/gone.wlt): No such file or directory");
  EXPECT_EQ(ErrorOf("{\"portrait_file\": \".\"}", faces),
            "p.json:1:19: \"portrait_file\" cannot be read: \".\" (" + faces + "/.): Is a directory");

  EXPECT_FALSE(q48emu::LoadProfile(dir.path() + "/none.json", &profile, &error));
  EXPECT_EQ(error, dir.path() + "/none.json: No such file or directory");
  const std::string bad = dir.Write("bad.json", "{\n\"card_type\": true\n}");
  EXPECT_FALSE(q48emu::LoadProfile(bad, &profile, &error));
  EXPECT_EQ(error, bad + ":2:14: \"card_type\" must be an integer from 0 to 255, found true");
  const std::string huge = dir.Write("huge.json", std::string(1024 * 1024 + 1, ' '));
  EXPECT_FALSE(q48emu::LoadProfile(huge, &profile, &error));
  EXPECT_EQ(error, huge + ": larger than 1 MiB; not a card profile");
}

}  // namespace
