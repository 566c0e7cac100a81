#include "frame.h"

#include "requests.h"

#include <array>
#include <cstring>

namespace q48 {

CDataBufferDevice::CDataBufferDevice() { Reset(); }

void CDataBufferDevice::Reset() {
  std::memset(data, 0, sizeof data);
  length = 0;
}

void CDataBufferDevice::AppendByte(uint8_t value) {
  if (length >= 0 && length < kFrameBufferSize) data[length++] = value;
}

void CDataBufferDevice::AppendU16(uint16_t value) {
  AppendByte(static_cast<uint8_t>(value & 0xFF));
  AppendByte(static_cast<uint8_t>(value >> 8));
}

void CDataBufferDevice::AppendBlock(const uint8_t* block, int32_t n) {
  if (n <= 0 || block == nullptr || length < 0) return;
  if (static_cast<int64_t>(length) + n > kFrameBufferSize) return;
  std::memcpy(data + length, block, static_cast<size_t>(n));
  length += n;
}

namespace {

// Byte-wise table; same values as the nibble-wise computation.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint16_t Crc16Xmodem(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0;
  for (size_t i = 0; i < count; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ bytes[i]) & 0xFF]);
  return crc;
}

CDataBufferDevice BuildCommandFrame(uint8_t group, uint8_t code, const char* payload) {
  CDataBufferDevice frame;
  const size_t textLength = payload ? std::strlen(payload) : 0;
  // The count fields are 16-bit (or 8-bit when doubled); the texts the
  // operations send are a few tens of bytes, far below either.
  const auto n = static_cast<int32_t>(textLength > 0xFFFF ? 0xFFFF : textLength);
  const auto* bytes = reinterpret_cast<const uint8_t*>(payload);

  for (int i = 0; i < kPreambleSize; ++i) frame.AppendByte(kPreambleByte);
  frame.AppendByte(kStartByte);

  const PayloadEncoding encoding = EncodingOf(group, code);
  uint16_t lengthField;
  switch (encoding) {
    case PayloadEncoding::Le16Count: lengthField = static_cast<uint16_t>(n + 7); break;
    case PayloadEncoding::DoubledCount: lengthField = static_cast<uint16_t>(2 * n + 7); break;
    default: lengthField = static_cast<uint16_t>(n + 5); break;
  }
  frame.AppendU16(lengthField);

  frame.AppendByte(0x00);
  frame.AppendByte(group);
  frame.AppendByte(code);

  if (encoding == PayloadEncoding::DoubledCount) {
    frame.AppendByte(static_cast<uint8_t>(n));
    frame.AppendBlock(bytes, n);
    frame.AppendByte(static_cast<uint8_t>(n));
  } else if (encoding == PayloadEncoding::Le16Count) {
    frame.AppendU16(static_cast<uint16_t>(n));
  }
  frame.AppendBlock(bytes, n);

  frame.AppendU16(Crc16Xmodem(frame.data + 9, static_cast<size_t>(frame.length - 9)));
  frame.AppendByte(kEndByte);
  return frame;
}

size_t EncodeFrame(uint8_t group, uint8_t code, const uint8_t* body, size_t bodySize, uint8_t* out,
                   size_t capacity) {
  const size_t total = bodySize + 17;
  if (total > capacity || bodySize + 5 > 0xFFFF) return 0;
  size_t at = 0;
  for (int i = 0; i < kPreambleSize; ++i) out[at++] = kPreambleByte;
  out[at++] = kStartByte;
  const auto lengthField = static_cast<uint16_t>(bodySize + 5);
  out[at++] = static_cast<uint8_t>(lengthField & 0xFF);
  out[at++] = static_cast<uint8_t>(lengthField >> 8);
  out[at++] = 0x00;
  out[at++] = group;
  out[at++] = code;
  if (bodySize > 0) std::memcpy(out + at, body, bodySize);
  at += bodySize;
  const uint16_t crc = Crc16Xmodem(out + 9, at - 9);
  out[at++] = static_cast<uint8_t>(crc & 0xFF);
  out[at++] = static_cast<uint8_t>(crc >> 8);
  out[at++] = kEndByte;
  return at;
}

bool AcceptFrame(const uint8_t* frame, size_t n, size_t minSize) {
  if (frame == nullptr || n < minSize || n < kMinRequestFrame) return false;
  for (int i = 0; i < kPreambleSize; ++i)
    if (frame[i] != kPreambleByte) return false;
  if (frame[8] != kStartByte) return false;
  if (static_cast<size_t>(ReadLe16(frame + 9)) + kFrameOverhead != n) return false;
  if (Crc16Xmodem(frame + 9, n - 12) != ReadLe16(frame + n - 3)) return false;
  return frame[n - 1] == kEndByte;
}

}  // namespace q48
