// The reader emulator: the device side of the Q48 protocol, for tests, demos
// and integrators without the hardware.
//
// An Emulator serves one byte stream (a pty master on Linux, or a serial port
// with the library's port at the other end of a null-modem cable): it reassembles
// the request frames the library writes, checks them, logs them and answers
// from a card profile, misbehaving on demand. It runs its own thread between
// Start() and Stop(); every public method is safe to call from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace q48emu {

// Holder data as UTF-8 text; the emulator stores it on the card as UTF-16LE
// padded with blanks to each field's size, the way cards do.
struct IdCardFields {
  std::string name;        // 15 characters on the card
  std::string sex;         // 1 character, "1" or "2"
  std::string nationCode;  // 2 characters, "01".."58"
  std::string birthDate;   // 8 characters, YYYYMMDD
  std::string address;     // 35 characters
  std::string idNumber;    // 18 characters
  std::string authority;   // 15 characters
  std::string validity;    // 16 characters: start YYYYMMDD, end YYYYMMDD (or e.g. "长期")
  std::string reserved;    // raw bytes at record offset 234, at most 10
};

struct CardProfile {
  std::string identText = "CPU-Q48-EMULATOR";  // answer to the identification request
  std::string iccid = "89860012345678901234";  // answer to the ICCID request
  uint8_t cardType = 1;                          // answer to the card-type request
  IdCardFields idCard;
  std::vector<uint8_t> portrait;  // compressed portrait (stand-in format), at most 1024 bytes
  bool acceptWrites = true;       // false: write steps are answered with status 1
};

// The sample card that ships with the project (fields and portrait).
CardProfile SampleCard();

// The 1295-byte identity-card record for a profile.
std::vector<uint8_t> BuildIdCardRecord(const CardProfile& profile);

// A whole response frame: group, code, status, data.
std::vector<uint8_t> BuildResponseFrame(uint8_t group, uint8_t code, uint8_t status,
                                        const std::vector<uint8_t>& data);

// How the next answers go wrong. The default answers promptly and correctly.
struct Behaviour {
  bool noAnswer = false;       // read the request, say nothing
  bool badCrc = false;         // flip a CRC bit
  bool badEndByte = false;     // last byte not 0x06
  bool badStartByte = false;   // byte 8 not 0x04
  bool badLength = false;      // length field one too large
  uint8_t status = 0;          // status byte of the answer
  std::vector<size_t> splitAt; // write the answer in pieces cut at these offsets
  int pauseMs = 0;             // pause between pieces (and before the answer)
  bool twoFrames = false;      // follow the answer, in the same write, with a copy of it
  std::vector<uint8_t> noiseBefore;  // bytes sent before the answer
  bool pace = false;           // pace the answer at 115200 baud (10 bits a byte)
  bool hangUp = false;         // close the line instead of answering
  // Answer with another request's reply instead (group, code), e.g. a stale
  // card-type answer to a read-card request. -1: answer the request itself.
  int answerGroup = -1;
  int answerCode = -1;
};

// The status of a read-card answer while no card lies on the reader.
constexpr uint8_t kNoCardStatus = 1;

// One request as the emulator received it.
struct Request {
  uint8_t group = 0;
  uint8_t code = 0;
  std::vector<uint8_t> body;   // payload encoding as sent
  std::vector<uint8_t> frame;  // the whole frame, byte for byte
  // When the request was whole, and when the last byte of its answer went
  // to the line (left at the epoch without an answer): shows whether
  // exchanges overlapped on the wire.
  std::chrono::steady_clock::time_point receivedAt{};
  std::chrono::steady_clock::time_point answeredAt{};
};

class Emulator {
 public:
  explicit Emulator(CardProfile profile = SampleCard());
  ~Emulator();  // stops the thread, closes the line
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Linux: opens a pty (raw, no echo) and keeps a slave descriptor open so the
  // master never sees a hang-up between the library's opens. Returns false
  // with a reason in *error on failure (always on Windows, which has no ptys).
  bool OpenPty(std::string* error = nullptr);
  // Serves a serial port, set to 115200 8N1 with no flow control, after
  // discarding whatever was waiting in it: "COM5" (or "\\.\COM12") on
  // Windows, a device such as "/dev/ttyUSB1" elsewhere. Returns false with a
  // reason in *error on failure.
  bool OpenPort(const std::string& name, std::string* error = nullptr);
  // Serves an already open descriptor instead (e.g. a serial device; on
  // Windows a C runtime descriptor of a COM port). The emulator owns `fd`
  // from then on and closes it.
  void ServeFd(int fd);
  // Path of the pty slave the library opens ("" without a pty): a copy, as
  // a reopen changes it.
  std::string SlavePath() const;

  void Start();
  void Stop();

  // Applies to every following answer until changed.
  void SetBehaviour(const Behaviour& behaviour);
  // Applies to the next answer only, then the standing behaviour again.
  // Pushed behaviours queue up: each one serves one answer, in order.
  void PushBehaviour(const Behaviour& behaviour);
  // Replaces the card's data; whether a card lies on the reader stays as it was.
  void SetProfile(const CardProfile& profile);
  // The identity card is taken off the reader: read-card requests are then
  // answered with status kNoCardStatus and no record, as a reader with
  // nothing on it answers. Every other request is served as before (the SIM
  // card and the reader itself stay). Logged, without card data.
  void RemoveCard();
  // A card is placed on the reader: the one that was there, or the card of
  // `profile`, which then serves every request (ICCID, card type, ...).
  void PlaceCard();
  void PlaceCard(const CardProfile& profile);
  bool CardPresent() const;  // true at the start
  // Sends raw bytes now (tests: unsolicited frames, noise).
  void SendRaw(const std::vector<uint8_t>& bytes);
  // Closes the line now (an unplugged reader).
  void HangUp();

  std::vector<Request> Requests() const;
  // Texts written to the SIM card: step 1 payloads ("+86..."), step 2 payloads.
  std::vector<std::string> WrittenNumbers() const;
  std::vector<std::string> WrittenContents() const;
  // Waits until `count` requests have been received or `timeoutMs` passed.
  bool WaitForRequests(size_t count, int timeoutMs) const;
  // Called with a line for each exchange (on the emulator's thread) and each
  // card removed or placed (on the caller's), when set: the tool's log. The
  // lines hold no card field, ICCID or written text.
  void SetLog(void (*log)(const std::string& line, void* context), void* context);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace q48emu
