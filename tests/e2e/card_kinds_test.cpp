// Every kind of card end to end: the emulator plays a profile, the export
// fills the caller's buffer. A resident card's buffer must stay byte for
// byte what it was before cards of other kinds were read.
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

}  // namespace
}  // namespace q48::test
