// Portrait conversion: the card's compressed portrait to JPEG bytes, through
// the outside decoder (GetBmp) and the platform's JPEG encoder.
//
// Runs on the export's calling thread, inside the read-card decoding. The
// caller owns every buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace q48 {

// Largest JPEG whose Base64 text and terminator fit the 51200-byte text buffer.
constexpr int32_t kMaxPortraitJpeg = 38397;
constexpr size_t kPortraitTextBuffer = 51200;

// ConvertPortrait's failure results (every backend); the decoder's own
// value, when it is not 1, is passed on unchanged instead.
constexpr int32_t kJpegUnreadable = -1;    // pic.jpg cannot be opened after the save
constexpr int32_t kNoDecoderLibrary = -2;  // the decoder library cannot be loaded
constexpr int32_t kNoDecoderEntry = -3;    // it has no GetBmp
constexpr int32_t kFileError = -4;         // a portrait file cannot be written or read
constexpr int32_t kNoPicture = -5;         // no usable bitmap, or the JPEG save failed
constexpr int32_t kJpegTooLarge = -6;      // the picture exceeds the caller's capacity

class PortraitConverter {
 public:
  virtual ~PortraitConverter() = default;
  // Writes `*length` bytes of `portrait` to the portrait file, has the decoder
  // turn it into a bitmap and the bitmap into a JPEG, and copies the JPEG into
  // `jpeg`. Returns 1 with `*length` = JPEG size on success; any other value on
  // failure, with `*length` unchanged. Never writes more than `capacity`
  // bytes: a larger picture is a failure.
  virtual int32_t ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* jpeg,
                                  size_t capacity) = 0;
};

// The platform's converter (files in the portrait directory, the decoder
// library loaded by bare name). `directory` empty means the platform default.
class SystemPortraitConverter : public PortraitConverter {
 public:
  explicit SystemPortraitConverter(std::string directory = std::string());
  int32_t ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* jpeg,
                          size_t capacity) override;
  // The directory the portrait files go to (created when missing).
  const std::string& Directory() const { return directory_; }
  // Name of the decoder library to load (tests point this elsewhere).
  void SetDecoderLibrary(std::string name) { decoderLibrary_ = std::move(name); }

 private:
  std::string directory_;
  std::string decoderLibrary_;
};

// Platform default portrait directory: "C:\Palvix" on Windows; on Linux
// $XDG_CACHE_HOME/Palvix, else ~/.cache/Palvix.
std::string DefaultPortraitDirectory();
// Platform default decoder library name ("WltRS.dll" / "libWltRS.so").
const char* DefaultDecoderLibrary();

}  // namespace q48
