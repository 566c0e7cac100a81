// What the five exports return in each situation the end-to-end tests set
// up: the one table behind the tests of the Linux exchange
// (tests/e2e/exports_test.cpp) and of the Windows library under Wine
// (tests/wine/reader_wine_test.cpp). Each harness calls the exports its own
// way and checks every row it can set up against this table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace q48::test {

enum class Export { ListReaderCard, ReadCard, ReadIccid, ReadCardType, WriteCard };
constexpr std::array<Export, 5> kExports = {Export::ListReaderCard, Export::ReadCard, Export::ReadIccid,
                                            Export::ReadCardType, Export::WriteCard};

// The exported name (the Wine host program takes it as its first argument).
constexpr const char* ExportName(Export e) {
  constexpr const char* kNames[] = {"zelListReaderCard", "zelReadCard", "zelReadICCID", "zelReadCardType",
                                    "zelWriteCard"};
  return kNames[static_cast<size_t>(e)];
}

// zelWriteCard's arguments in every situation: both within the limits.
constexpr const char* kWriteContent = "hello";
constexpr const char* kWriteNumber = "13800138000";

enum class Situation {
  NoReader,  // no reader attached
  PortHeld,  // the reader's port held by another program
  NoAnswer,  // the reader says nothing
  Rejected,  // the reader answers every request with a failure status
};

// Results in kExports order.
constexpr int16_t ResultOf(Situation situation, Export e) {
  constexpr int16_t kTable[][5] = {
      // list, read card, ICCID, card type, write
      {0, -1, -1, -1, -1},    // NoReader
      {-1, -1, -4, -4, -4},   // PortHeld
      {-1, -4, -4, -4, -4},   // NoAnswer
      {-1, -6, -2, -2, -2},   // Rejected
  };
  return kTable[static_cast<size_t>(situation)][static_cast<size_t>(e)];
}

}  // namespace q48::test
