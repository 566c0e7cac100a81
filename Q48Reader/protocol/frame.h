// Reader frames: the request buffer, the builder, the checksum and the
// acceptance check that turns a collected frame into a response message.
//
// Pure functions over caller-owned bytes; safe on any thread. The builder runs
// on the caller's thread, the acceptance check on the port's reader thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q48 {

// Frame layout, in bytes from the frame's start; 16-bit fields are LE:
//   0        preamble, kPreambleSize x 0x55
//   8        start byte 0x04
//   9        length L: the bytes from offset 11 up to and including the CRC
//   11       reserved: 0 in requests, not examined in responses
//   12, 13   group, code: the message starts at the group
//   14       body (requests: the encoded payload; responses: status, data)
//   size-3   CRC-16/XMODEM over offset 9 up to the body's end
//   size-1   end byte 0x06
// So a frame is L + 12 bytes, and its message the size - 15 bytes from 12.
constexpr size_t kPreambleSize = 8;
constexpr uint8_t kPreambleByte = 0x55;
constexpr size_t kStartOffset = kPreambleSize;
constexpr uint8_t kStartByte = 0x04;
constexpr size_t kLengthOffset = kStartOffset + 1;
constexpr size_t kReservedByteOffset = kLengthOffset + 2;
constexpr size_t kMessageOffset = kReservedByteOffset + 1;
constexpr size_t kBodyOffset = kMessageOffset + 2;
constexpr uint8_t kEndByte = 0x06;
// Enough bytes to know the frame's size.
constexpr size_t kHeaderSize = kReservedByteOffset;
// CRC and end byte.
constexpr size_t kTrailerSize = 3;
// A frame's size is its length field L plus this.
constexpr size_t kFrameOverhead = kReservedByteOffset + 1;
// A frame's size less its message's.
constexpr size_t kMessageOverhead = kMessageOffset + kTrailerSize;
// A request with an empty payload; a response carries a status byte at least.
constexpr size_t kMinRequestFrame = kBodyOffset + kTrailerSize;
constexpr size_t kMinResponseFrame = kMinRequestFrame + 1;
constexpr int kFrameBufferSize = 5120;

// The most a received frame may take: the reassembly holds at most this many
// bytes, so a frame is at most kReceiveLimit - 1 bytes, and its message
// always fits a receive area of this size. Every receive buffer derives from
// it (reassembly.h, serial/com_port.h, protocol/response.h).
constexpr size_t kReceiveLimit = 10240;

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

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void WriteLe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value & 0xFF);
  p[1] = static_cast<uint8_t>(value >> 8);
}

// The size a frame says it has (its length field + 12); `frame` holds at
// least kHeaderSize bytes.
inline size_t DeclaredFrameSize(const uint8_t* frame) { return ReadLe16(frame + kLengthOffset) + kFrameOverhead; }

// A whole frame in a buffer that someone else owns: preamble to end byte.
struct FrameView {
  const uint8_t* bytes;
  size_t size;
  // Group, code, status and data: what the receive queue holds.
  const uint8_t* message() const { return bytes + kMessageOffset; }
  size_t messageSize() const { return size - kMessageOverhead; }
};

// The one frame encoder, for requests and (in the emulator) responses:
// preamble, start, length, reserved 0, group, code, `body`, CRC, end.
// Returns the size written into `out`, or 0 when `capacity` is too small or
// the body too long for the length field.
size_t EncodeFrame(uint8_t group, uint8_t code, const uint8_t* body, size_t bodySize, uint8_t* out,
                   size_t capacity);

// One request frame. `payload` is a zero-terminated byte text (may be empty),
// laid out as the request table says for this group and code (see
// requests.h); unknown requests send it plain. A payload too long for the
// buffer gives an empty one (length 0); the texts the operations send are a
// few tens of bytes.
CDataBufferDevice BuildCommandFrame(uint8_t group, uint8_t code, const char* payload);

// The acceptance rules for a collected frame of n bytes: at least minSize
// bytes (responses: a status byte), preamble and start byte, the size the
// length field declares, the CRC, the end byte. On acceptance the message is
// the n - kMessageOverhead bytes from kMessageOffset. The emulator checks
// requests, which may have an empty body, with kMinRequestFrame.
bool AcceptFrame(const uint8_t* frame, size_t n, size_t minSize = kMinResponseFrame);

}  // namespace q48
