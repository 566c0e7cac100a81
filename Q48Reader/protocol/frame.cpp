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

size_t EncodeFrame(uint8_t group, uint8_t code, const uint8_t* body, size_t bodySize, uint8_t* out,
                   size_t capacity) {
  const size_t total = bodySize + kMinRequestFrame;
  if (total > capacity || total - kFrameOverhead > 0xFFFF) return 0;
  std::memset(out, kPreambleByte, kPreambleSize);
  out[kStartOffset] = kStartByte;
  WriteLe16(out + kLengthOffset, static_cast<uint16_t>(total - kFrameOverhead));
  out[kReservedByteOffset] = 0x00;
  out[kMessageOffset] = group;
  out[kMessageOffset + 1] = code;
  if (bodySize > 0) std::memcpy(out + kBodyOffset, body, bodySize);
  const size_t crcAt = kBodyOffset + bodySize;
  WriteLe16(out + crcAt, Crc16Xmodem(out + kLengthOffset, crcAt - kLengthOffset));
  out[total - 1] = kEndByte;
  return total;
}

CDataBufferDevice BuildCommandFrame(uint8_t group, uint8_t code, const char* payload) {
  const size_t textLength = payload ? std::strlen(payload) : 0;
  // The count fields are 16-bit (or 8-bit when doubled); the texts the
  // operations send are a few tens of bytes, far below either.
  const auto n = static_cast<int32_t>(textLength > 0xFFFF ? 0xFFFF : textLength);
  const auto* bytes = reinterpret_cast<const uint8_t*>(payload);

  // The body by the append rules, which drop what does not fit.
  CDataBufferDevice body;
  switch (EncodingOf(group, code)) {
    case PayloadEncoding::DoubledCount:
      body.AppendByte(static_cast<uint8_t>(n));
      body.AppendBlock(bytes, n);
      body.AppendByte(static_cast<uint8_t>(n));
      break;
    case PayloadEncoding::Le16Count: body.AppendU16(static_cast<uint16_t>(n)); break;
    case PayloadEncoding::Plain: break;
  }
  body.AppendBlock(bytes, n);

  CDataBufferDevice frame;
  frame.length = static_cast<int32_t>(
      EncodeFrame(group, code, body.data, static_cast<size_t>(body.length), frame.data, sizeof frame.data));
  return frame;
}

bool AcceptFrame(const uint8_t* frame, size_t n, size_t minSize) {
  if (frame == nullptr || n < minSize || n < kMinRequestFrame) return false;
  for (size_t i = 0; i < kPreambleSize; ++i)
    if (frame[i] != kPreambleByte) return false;
  if (frame[kStartOffset] != kStartByte) return false;
  if (DeclaredFrameSize(frame) != n) return false;
  const size_t crcAt = n - kTrailerSize;
  if (Crc16Xmodem(frame + kLengthOffset, crcAt - kLengthOffset) != ReadLe16(frame + crcAt)) return false;
  return frame[n - 1] == kEndByte;
}

}  // namespace q48
