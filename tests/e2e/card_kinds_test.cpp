// Every kind of card end to end: the emulator plays a profile, the export
// fills the caller's buffer. A resident card's buffer must stay byte for
// byte what it was before cards of other kinds were read.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Q48Reader.h"
#include "profile_json.h"
#include "reader_fixture.h"

namespace q48::test {
namespace {

namespace fs = std::filesystem;

using CardKindsTest = ReaderTest;

std::vector<char> ReadWithProfile(q48emu::Emulator& emulator, const std::string& profileName,
                                  const ExchangeOptions& options, int16_t* result) {
  q48emu::CardProfile profile;
  std::string error;
  if (!q48emu::LoadProfile(std::string(Q48_PROFILES_DIR) + "/" + profileName, &profile, &error))
    ADD_FAILURE() << error;
  emulator.SetProfile(profile);
  std::vector<char> buffer(Q48_READ_CARD_BUFFER, 0);
  *result = ReadCard(options, buffer.data());
  return buffer;
}

// The buffers as the library gave them before it knew other kinds of card,
// kept without their trailing zero fill.
TEST_F(CardKindsTest, ResidentBuffersAreUnchanged) {
  for (const char* name : {"sample-card", "long-term-validity", "sim-refuses-writes"}) {
    int16_t result = -99;
    const std::vector<char> buffer = ReadWithProfile(*emulator, std::string(name) + ".json", Options(), &result);
    ASSERT_EQ(result, 0) << name;
    const std::string golden = std::string(Q48_GOLDEN_DIR) + "/" + name + ".bin";
    std::ifstream in(golden, std::ios::binary);
    ASSERT_TRUE(in) << golden;
    std::vector<char> want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    want.resize(buffer.size(), 0);
    EXPECT_TRUE(want == buffer) << name;
  }
}

// Each kind's buffer, byte for byte: the profile's texts in GBK at the slots
// a caller of the exports knows, the kind's mark in the reserved slot, and
// the portrait that the long-term card (the same portrait file) gives.
TEST_F(CardKindsTest, EachKindFillsTheSlotsOfTheSameMeaning) {
  struct Slot {
    size_t offset;
    const char* utf8;
  };
  const struct {
    const char* profile;
    std::vector<Slot> slots;
  } kinds[] = {
      {"hk-mo-tw-permit.json",
       {{0, "黄嘉欣            "}, {100, "2"}, {300, "19960415"}, {400, "广东省深圳市福田区福华三路一百零八号"},
        {500, "810000199604150024"}, {600, "深圳市公安局"}, {700, "20210601"}, {800, "20260601"}, {900, "J"}}},
      {"foreign-2017.json",
       {{0, "MILLER, JAMES ROBERT"}, {100, "1"}, {200, "USA"}, {300, "19850615"}, {500, "USA110085061508"},
        {600, "1100"}, {700, "20180310"}, {800, "20280310"}, {900, "I"}}},
      {"foreign-2023.json",
       {{0, "GARCIA LOPEZ, MARIA FERNANDA"}, {100, "2"}, {200, "ESP"}, {300, "19890312"},
        {500, "931724198903128221"}, {700, "20230901"}, {800, "20330901"}, {900, "Y"}}},
  };
  std::ifstream in(std::string(Q48_GOLDEN_DIR) + "/long-term-validity.bin", std::ios::binary);
  std::vector<char> resident((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(resident.size(), 1000u);
  for (const auto& kind : kinds) {
    std::vector<char> want(Q48_READ_CARD_BUFFER, 0);
    for (const Slot& slot : kind.slots) {
      const std::string gbk = Utf8ToGbk(slot.utf8);
      std::copy(gbk.begin(), gbk.end(), want.begin() + static_cast<std::ptrdiff_t>(slot.offset));
    }
    std::copy(resident.begin() + 1000, resident.end(), want.begin() + 1000);
    int16_t result = -99;
    const std::vector<char> buffer = ReadWithProfile(*emulator, kind.profile, Options(), &result);
    ASSERT_EQ(result, 0) << kind.profile;
    for (size_t slot = 0; slot < 11; ++slot) {
      const size_t from = slot * Q48_FIELD_STRIDE, to = slot == 10 ? want.size() : from + Q48_FIELD_STRIDE;
      EXPECT_TRUE(std::equal(want.begin() + from, want.begin() + to, buffer.begin() + from))
          << kind.profile << ", slot at " << from << ": " << std::string(buffer.data() + from);
    }
  }
}

}  // namespace
}  // namespace q48::test
