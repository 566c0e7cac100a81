// The reader's requests, named once: for each, its group and code, how its
// payload goes on the wire, what its answer carries and how an exchange waits
// for that answer. The frame builder, the parser's dispatch, the exchange, the
// emulator and the command-line trace all read this table.
//
// Constant data; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q48 {

// How a request's payload text is laid out in the frame body.
enum class PayloadEncoding : uint8_t {
  Plain,         // the bytes as they are
  Le16Count,     // a LE16 byte count, then the bytes
  DoubledCount,  // count byte, bytes, count byte, bytes
};

// What an accepted answer carries, and so what the parser stores.
enum class AnswerKind : uint8_t {
  StatusOnly,      // nothing beyond the status byte (acknowledgements, writes)
  Identification,  // LE16 count and the reader's name, which must start "CPU-Q48"
  IdCardRecord,    // the 1295-byte identity-card record
  Iccid,           // one count byte and the ICCID text
  CardType,        // one byte
};

// How the exchange polls for the answer.
enum class PollShape : uint8_t {
  TakeFirst,   // take, and sleep only when nothing came; at most maxTakes takes
  SleepFirst,  // sleep, then take; gives up when the count passes maxTakes
};

struct RequestKind {
  const char* name;          // in words, for traces and logs
  uint8_t group;
  uint8_t code;
  PayloadEncoding encoding;
  const char* fixedPayload;  // the payload the request always sends; null: the caller's text
  AnswerKind answer;
  PollShape shape;
  int sleepMs;
  int maxTakes;
};

namespace requests {

// The reader's bare acknowledgement. It is never sent; the parser accepts it
// and the exchange takes it as an answer to kIdentify.
inline constexpr RequestKind kAcknowledgement{
    "acknowledgement", 0, 1, PayloadEncoding::Plain, "", AnswerKind::StatusOnly, PollShape::SleepFirst, 0, 0};
inline constexpr RequestKind kIdentify{
    "reader identification", 0, 2, PayloadEncoding::Plain, "D", AnswerKind::Identification,
    PollShape::SleepFirst, 10, 300};
inline constexpr RequestKind kReadCard{
    "read identity card", 10, 4, PayloadEncoding::Plain, "", AnswerKind::IdCardRecord,
    PollShape::TakeFirst, 1, 5000};
inline constexpr RequestKind kReadIccid{
    "read ICCID", 3, 15, PayloadEncoding::Plain, "", AnswerKind::Iccid, PollShape::SleepFirst, 100, 200};
inline constexpr RequestKind kReadCardType{
    "read card type", 3, 10, PayloadEncoding::Plain, "\x01", AnswerKind::CardType, PollShape::SleepFirst, 100,
    200};
inline constexpr RequestKind kWriteNumber{
    "write number", 3, 12, PayloadEncoding::Le16Count, nullptr, AnswerKind::StatusOnly, PollShape::SleepFirst,
    100, 150};
inline constexpr RequestKind kWriteContent{
    "write content", 3, 11, PayloadEncoding::DoubledCount, nullptr, AnswerKind::StatusOnly,
    PollShape::SleepFirst, 100, 150};

inline constexpr const RequestKind* kAll[] = {&kAcknowledgement, &kIdentify,    &kReadCard,    &kReadIccid,
                                              &kReadCardType,    &kWriteNumber, &kWriteContent};

}  // namespace requests

// The kind with this group and code, or null for one the reader does not know.
inline const RequestKind* FindRequestKind(uint8_t group, uint8_t code) {
  for (const RequestKind* kind : requests::kAll)
    if (kind->group == group && kind->code == code) return kind;
  return nullptr;
}

// Personal data, kept out of traces and logs: the texts a caller writes to
// the card, and the holder's record and the ICCID that answers carry.
inline bool SendsPersonalData(const RequestKind& kind) { return kind.fixedPayload == nullptr; }
inline bool AnswerIsPersonalData(const RequestKind& kind) {
  return kind.answer == AnswerKind::IdCardRecord || kind.answer == AnswerKind::Iccid;
}

// Payload encoding of the request with this group and code (Plain when unknown).
inline PayloadEncoding EncodingOf(uint8_t group, uint8_t code) {
  const RequestKind* kind = FindRequestKind(group, code);
  return kind ? kind->encoding : PayloadEncoding::Plain;
}

}  // namespace q48
