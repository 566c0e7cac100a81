// The identity-card record the emulator builds from UTF-8 fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator.h"
#include "photo/portrait.h"
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

}  // namespace
