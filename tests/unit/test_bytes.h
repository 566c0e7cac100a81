// Byte helpers shared by the unit tests.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace q48::test {

inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// A response frame with the given body (status byte included).
inline std::vector<uint8_t> ResponseFrame(uint8_t group, uint8_t code, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> frame(body.size() + 17);
  frame.resize(EncodeFrame(group, code, body.data(), body.size(), frame.data(), frame.size()));
  return frame;
}

}  // namespace q48::test
