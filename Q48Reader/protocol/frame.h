// Reader frames: the request buffer, the builder, the checksum and the
// acceptance check that turns a collected frame into a response message.
//
// Pure functions over caller-owned bytes; safe on any thread. The builder runs
// on the caller's thread, the acceptance check on the port's reader thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q48 {

// Frame layout: 8 x 0x55, 0x04, length (LE16, bytes from offset 11 up to and
// including the CRC), reserved, group, code, body, CRC (LE16), 0x06.
constexpr int kPreambleSize = 8;
constexpr uint8_t kPreambleByte = 0x55;
constexpr uint8_t kStartByte = 0x04;
constexpr uint8_t kEndByte = 0x06;
constexpr int kFrameOverhead = 12;     // total size = length field + 12
constexpr int kMessageOffset = 12;     // group byte
constexpr size_t kMinResponseFrame = 18;  // one status byte of body at least
constexpr size_t kMinRequestFrame = 17;   // empty payload
constexpr int kFrameBufferSize = 5120;

// Request frame buffer. Appends drop what does not fit; nothing is ever
// written past data[kFrameBufferSize - 1].
class CDataBufferDevice {
 public:
  CDataBufferDevice();
  CDataBufferDevice(const CDataBufferDevice&) = default;
  CDataBufferDevice& operator=(const CDataBufferDevice&) = default;
  virtual ~CDataBufferDevice() = default;

  void AppendByte(uint8_t value);
  void AppendU16(uint16_t value);  // low byte first
  // Appends all n bytes, or nothing when n <= 0 or they do not all fit.
  void AppendBlock(const uint8_t* block, int32_t n);
  void Reset();

  uint8_t data[kFrameBufferSize];
  int32_t length;
};

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final xor).
uint16_t Crc16Xmodem(const uint8_t* bytes, size_t count);

// One request frame. `payload` is a zero-terminated byte text (may be empty),
// laid out as the request table says for this group and code (see
// requests.h); unknown requests send it plain.
CDataBufferDevice BuildCommandFrame(uint8_t group, uint8_t code, const char* payload);

// Builds a frame with an arbitrary body (requests and, for the emulator,
// responses): preamble, start, length, reserved 0, group, code, body, CRC, end.
// Returns the total size written into `out`, or 0 when `capacity` is too small.
size_t EncodeFrame(uint8_t group, uint8_t code, const uint8_t* body, size_t bodySize, uint8_t* out,
                   size_t capacity);

// The acceptance rules for a collected frame of n bytes: at least 18 bytes,
// preamble and start byte, length field == n - 12, CRC over bytes 9..n-4
// equal to the LE16 at n-3, last byte 0x06. On acceptance the response
// message is the n - 15 bytes from offset 12. The emulator checks requests,
// which may have an empty body, with minSize 17.
bool AcceptFrame(const uint8_t* frame, size_t n, size_t minSize = kMinResponseFrame);

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace q48
