// A portrait converter test double: records what it was given and answers
// as told.
#pragma once

#include <cstring>
#include <vector>

#include "photo/portrait.h"

namespace q48::test {

class FakePortrait : public PortraitConverter {
 public:
  int32_t result = 0;             // what ConvertPortrait returns
  std::vector<uint8_t> jpeg;      // written on result 1
  bool scribbleOnFailure = false; // break the contract: write and change length on failure
  std::vector<uint8_t> received;  // the bytes it was asked to write
  size_t capacity = 0;
  int calls = 0;

  int32_t ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* out, size_t cap) override {
    ++calls;
    capacity = cap;
    received.assign(portrait, portrait + *length);
    if (result == 1) {
      const size_t n = jpeg.size() < cap ? jpeg.size() : cap;
      std::memcpy(out, jpeg.data(), n);
      *length = static_cast<int32_t>(jpeg.size());
    } else if (scribbleOnFailure) {
      std::memset(out, 0xEE, 100);
      *length = 100;
    } else {
      out[0] = 0;
    }
    return result;
  }
};

}  // namespace q48::test
