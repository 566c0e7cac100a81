// Portrait conversion: the card's compressed portrait to JPEG bytes, through
// the outside decoder (GetBmp) and the platform's JPEG encoder. The sequence
// is portable (portrait.cpp); its platform steps are in portrait_platform.h.
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

// ConvertPortrait's failure results (every platform). The only caller takes
// any value but 1 as "no picture"; the names tell the tests which step gave
// up. The decoder's own value, when it is not 1, is passed on unchanged
// instead (and may coincide with one of these).
constexpr int32_t kFileError = -1;         // pic.wlt cannot be written, or pic.jpg not read back
constexpr int32_t kNoDecoderLibrary = -2;  // the decoder library cannot be loaded
constexpr int32_t kNoDecoderEntry = -3;    // it has no GetBmp
constexpr int32_t kNoPicture = -4;         // no usable bitmap, or no JPEG came of it
constexpr int32_t kJpegTooLarge = -5;      // the picture exceeds the caller's capacity
constexpr int32_t kNoFolder = -6;          // no safe portrait folder (POSIX: not the caller's, a link, no home)

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

// The platform's converter (files in the portrait folder, the decoder
// library loaded by bare name). `directory` empty means the platform default
// (portrait_platform.h).
class SystemPortraitConverter : public PortraitConverter {
 public:
  explicit SystemPortraitConverter(std::string directory = std::string());
  int32_t ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* jpeg,
                          size_t capacity) override;
  // The folder the portrait files go to (made when missing; empty when the
  // platform has no default for this user).
  const std::string& Directory() const { return directory_; }
  // Name of the decoder library to load (tests point this elsewhere; the
  // service names the one it chose, by its full path).
  void SetDecoderLibrary(std::string name) { decoderLibrary_ = std::move(name); }
  // Whether the files of a conversion stay in the folder until the next one
  // (the default: host programs may read them) or are removed as it ends,
  // whatever its outcome (the service: nothing of a card holder stays).
  void SetKeepFiles(bool keep) { keepFiles_ = keep; }

 private:
  std::string directory_;
  std::string decoderLibrary_;
  bool keepFiles_ = true;
};

}  // namespace q48
