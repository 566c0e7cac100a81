// The identity-card record the emulator builds from UTF-8 fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator.h"
#include "photo/portrait.h"
#include "protocol/card_fields.h"
#include "protocol/requests.h"
#include "protocol/response.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t UnitAt(const Bytes& record, size_t offset) {
  return static_cast<uint16_t>(record[offset] | (record[offset + 1] << 8));
}

std::vector<uint16_t> Units(const Bytes& record, size_t offset, size_t count) {
  std::vector<uint16_t> units;
  for (size_t i = 0; i < count; ++i) units.push_back(UnitAt(record, offset + 2 * i));
  return units;
}

class NoPortrait : public q48::PortraitConverter {
 public:
  int32_t ConvertPortrait(const uint8_t*, int32_t*, uint8_t* jpeg, size_t) override {
    jpeg[0] = 0;
    return 0;
  }
};

TEST(EmulatorRecord, FieldsArePaddedCutAndPlaced) {
  q48emu::CardProfile profile;
  profile.idCard.name = "AB";
  profile.idCard.sexCode = "2";
  profile.idCard.address = std::string(40, 'x');
  profile.idCard.idNumber = "110101199003077777";
  profile.idCard.reserved = "ABCDEFGHIJKL";
  profile.portrait = Bytes(1100, 0xA5);
  const Bytes record = q48emu::BuildIdCardRecord(profile);
  ASSERT_EQ(record.size(), 1295u);

  std::vector<uint16_t> name(15, 0x20);
  name[0] = 'A';
  name[1] = 'B';
  EXPECT_EQ(Units(record, 14, 15), name);
  EXPECT_EQ(Units(record, 44, 1), std::vector<uint16_t>{'2'});
  EXPECT_EQ(Units(record, 46, 2), std::vector<uint16_t>(2, 0x20));  // empty nation code: blanks
  EXPECT_EQ(Units(record, 66, 35), std::vector<uint16_t>(35, 'x'));  // cut at the field
  EXPECT_EQ(UnitAt(record, 136), '1');                              // the next field is intact
  EXPECT_EQ(Bytes(record.begin() + 234, record.begin() + 244), Bytes({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'}));
  EXPECT_EQ(Bytes(record.begin() + 244, record.begin() + 270), Bytes(26, 0));
  EXPECT_EQ(Bytes(record.begin() + 270, record.begin() + 1294), Bytes(1024, 0xA5));
  EXPECT_EQ(record[1294], 0);

  profile.portrait = {1, 2, 3};
  const Bytes shortPortrait = q48emu::BuildIdCardRecord(profile);
  EXPECT_EQ(Bytes(shortPortrait.begin() + 270, shortPortrait.begin() + 274), Bytes({1, 2, 3, 0}));
}

TEST(EmulatorRecord, Utf8BecomesUtf16WithSurrogatesAndReplacements) {
  q48emu::CardProfile profile;
  profile.idCard.issuingAuthority = "\xF0\xA0\xAE\xB7\xE5\xB1\x80";             // U+20BB7, U+5C40
  profile.idCard.name = std::string(14, 'a') + "\xF0\xA0\xAE\xB7";      // the pair does not fit
  profile.idCard.address = "\xFF" "a" "\xC0\xAF" "\xED\xA0\x80" "\xE6\x88";  // malformed sequences
  const Bytes record = q48emu::BuildIdCardRecord(profile);

  EXPECT_EQ(Units(record, 172, 3), std::vector<uint16_t>({0xD842, 0xDFB7, 0x5C40}));
  EXPECT_EQ(UnitAt(record, 14 + 2 * 13), 'a');
  EXPECT_EQ(UnitAt(record, 14 + 2 * 14), 0x20);  // blank, never half a pair
  // Each malformed byte becomes U+FFFD: FF; a; C0 AF (an overlong form);
  // ED A0 80 (a surrogate's encoding); E6 88 (cut short at the end).
  constexpr uint16_t R = 0xFFFD;
  EXPECT_EQ(Units(record, 66, 10), std::vector<uint16_t>({R, 'a', R, R, R, R, R, R, R, 0x20}));
}

TEST(EmulatorRecord, DecodesToTheGivenFields) {
  q48emu::CardProfile profile = q48emu::SampleCard();
  profile.idCard.nationCode = "58";
  profile.idCard.validFrom = "20200101";
  profile.idCard.validTo = "长期";
  profile.idCard.reserved = "R1";
  const Bytes record = q48emu::BuildIdCardRecord(profile);
  q48::ResultFields fields;
  NoPortrait portrait;
  q48::DecodeIdCardRecord(record.data(), fields, portrait);
  EXPECT_EQ(fields.Nation, "\xCD\xE2\xB9\xFA\xD1\xAA\xCD\xB3");
  EXPECT_EQ(fields.ValidFrom, "20200101");
  EXPECT_EQ(fields.ValidTo, "\xB3\xA4\xC6\xDA");
  EXPECT_EQ(fields.ReservedText, "R1");
  EXPECT_EQ(fields.IdNumber, "33010619880614131X");
}

// The emulator's layouts against the library's tables: each kind's record,
// built by one and decoded by the other.
class CardKinds : public ::testing::Test {
 protected:
  // A decoded field by its result key; "<none>" when the kind has no such key.
  std::string Field(const char* key) const {
    const q48::CardKindInfo& kind = q48::InfoOf(fields.Kind);
    for (const q48::CardField& field : kind)
      if (field.key != nullptr && std::string(field.key) == key) return q48::FieldText(fields, kind, field);
    return "<none>";
  }
  void Decode(const q48emu::CardProfile& profile, size_t received = q48::kIdCardRecordSize) {
    Bytes record = q48emu::BuildIdCardRecord(profile);
    std::fill(record.begin() + static_cast<std::ptrdiff_t>(received), record.end(), 0);
    q48::DecodeIdCardRecord(record.data(), fields, portrait, received);
  }
  static q48emu::CardProfile Foreign2023(const std::string& englishName) {
    q48emu::CardProfile profile;
    q48emu::IdCardFields& card = profile.idCard;
    card.kind = "foreign_2023";
    card.englishName = englishName;
    card.nationality = "ESP";
    card.idNumber = "931724198903128221";
    return profile;
  }
  q48::ResultFields fields;
  NoPortrait portrait;
};

TEST_F(CardKinds, EnglishNamesOfA2023Card) {
  // 46 characters: 35 in the first place, 11 in the second, joined.
  const std::string longest = "ABCDEFGHIJKLMNOPQRSTUVWXYZ, ABCDEFGHIJKLMNOPQR";
  ASSERT_EQ(longest.size(), 46u);
  Decode(Foreign2023(longest));
  EXPECT_EQ(fields.Kind, q48::CardKind::Foreign2023);
  EXPECT_EQ(Field("english_name"), longest);
  EXPECT_EQ(fields.Name, longest);
  EXPECT_EQ(fields.Nation, "ESP");
  EXPECT_EQ(fields.ReservedText, "Y");
  // The second part blank: the first part alone, without its blank fill; a
  // name of exactly 35 characters ends at the first place's end.
  for (const std::string& name : {std::string("GARCIA LOPEZ, MARIA"), std::string(35, 'M')}) {
    Decode(Foreign2023(name));
    EXPECT_EQ(fields.Name, name);
  }
}

TEST_F(CardKinds, BlankChineseNameIsAnEmptyField) {
  q48emu::CardProfile profile;
  profile.idCard.kind = "foreign_2017";
  profile.idCard.englishName = "MILLER, JAMES";
  Decode(profile);
  EXPECT_EQ(fields.Kind, q48::CardKind::Foreign2017);
  EXPECT_EQ(Field("chinese_name"), "");
  EXPECT_EQ(Field("english_name"), "MILLER, JAMES");
  EXPECT_EQ(Field("nation"), "<none>");  // no key of another kind
  EXPECT_EQ(fields.Address, "");
  profile = Foreign2023("SMITH, ANNA");
  Decode(profile);
  EXPECT_EQ(Field("chinese_name"), "");
}

TEST_F(CardKinds, UnknownMarkDecodesAsAResidentCardAndKeepsTheMark) {
  q48emu::CardProfile profile = q48emu::SampleCard();
  profile.idCard.reserved = "R1";
  profile.idCard.kindMark = "Q";
  Decode(profile);
  EXPECT_EQ(fields.Kind, q48::CardKind::Unknown);
  EXPECT_EQ(fields.KindMark, "Q");
  EXPECT_EQ(fields.IdNumber, "33010619880614131X");
  EXPECT_EQ(fields.ReservedText, "R1");  // the reserved slot as for a resident card
  profile.idCard.kindMark = "\xE5\x8D\xA1";  // 卡: a character, not only a letter
  Decode(profile);
  EXPECT_EQ(fields.KindMark, "\xBF\xA8");
}

TEST_F(CardKinds, MarkOfARecordCutShort) {
  // The whole text block arrived, the portrait did not: the kind counts.
  Decode(Foreign2023("SMITH, ANNA"), 264);
  EXPECT_EQ(fields.Kind, q48::CardKind::Foreign2023);
  EXPECT_EQ(fields.Name, "SMITH, ANNA");
  // Half the mark arrived: no mark, so a resident card as before.
  Decode(Foreign2023("SMITH, ANNA"), 263);
  EXPECT_EQ(fields.Kind, q48::CardKind::Resident);
  EXPECT_EQ(fields.KindMark, "");
  // Through the parser: the message's length is what arrived.
  Bytes message = {q48::requests::kReadCard.group, q48::requests::kReadCard.code, 0x00};
  const Bytes record = q48emu::BuildIdCardRecord(Foreign2023("SMITH, ANNA"));
  message.insert(message.end(), record.begin(), record.begin() + 263);
  ASSERT_EQ(q48::ParseResponse(message.data(), message.size(), fields, portrait), 1);
  EXPECT_EQ(fields.Kind, q48::CardKind::Resident);
}

}  // namespace
