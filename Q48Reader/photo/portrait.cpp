// The portrait conversion's sequence, the same on every platform; the file,
// decoder and JPEG steps are the platform's (portrait_platform.h).
#include "portrait.h"

#include <climits>
#include <memory>

#include "portrait_platform.h"

namespace q48 {

namespace {

namespace platform = portrait_platform;

// The decoder writes the .bmp beside the .wlt, by its name.
constexpr char kWlt[] = "pic.wlt";
constexpr char kBmp[] = "pic.bmp";
constexpr char kJpg[] = "pic.jpg";

// The working directory belongs to every thread of the host, and the outside
// decoder may move it (on loading, in GetBmp or on unloading): it is put back
// on every way out.
class WorkingDirectoryGuard {
 public:
  WorkingDirectoryGuard() : saved_(platform::CurrentDirectory(&path_)) {}
  ~WorkingDirectoryGuard() {
    if (saved_) platform::ChangeDirectory(path_);
  }
  WorkingDirectoryGuard(const WorkingDirectoryGuard&) = delete;
  WorkingDirectoryGuard& operator=(const WorkingDirectoryGuard&) = delete;

 private:
  std::string path_;
  bool saved_;
};

// Removes the conversion's files on every way out, when asked to.
class FileSweeper {
 public:
  FileSweeper(platform::PortraitFolder& folder, bool sweep) : folder_(folder), sweep_(sweep) {}
  ~FileSweeper() {
    if (!sweep_) return;
    for (const char* name : {kWlt, kBmp, kJpg}) folder_.Remove(name);
  }
  FileSweeper(const FileSweeper&) = delete;
  FileSweeper& operator=(const FileSweeper&) = delete;

 private:
  platform::PortraitFolder& folder_;
  bool sweep_;
};

int32_t Convert(const std::string& directory, const std::string& decoderName, bool keepFiles,
                const uint8_t* portrait, int32_t* length, uint8_t* jpeg, size_t capacity) {
  // Personal data goes nowhere but to a folder that is safe for it; without
  // one the read goes on without a picture, as without a decoder.
  const std::unique_ptr<platform::PortraitFolder> folder = platform::OpenFolder(directory);
  if (!folder) return kNoFolder;
  // Declared before the library, so that the files go after it is released
  // (a decoder may hold its bitmap open until then).
  const FileSweeper sweeper(*folder, !keepFiles);

  // Declared before the library, so that the directory is restored after
  // the library is released.
  WorkingDirectoryGuard workingDirectory;
  std::unique_ptr<platform::DecoderLibrary> decoder;
  switch (platform::LoadDecoder(decoderName, &decoder)) {
    case platform::DecoderLoad::NoLibrary: return kNoDecoderLibrary;
    case platform::DecoderLoad::NoEntry: return kNoDecoderEntry;
    case platform::DecoderLoad::Loaded: break;
  }

  // An earlier picture must never stand in for this one.
  folder->Remove(kBmp);
  folder->Remove(kJpg);

  if (!folder->Write(kWlt, portrait, static_cast<size_t>(*length))) return kFileError;
  const int32_t decoded = decoder->GetBmp(folder->PathOf(kWlt).c_str(), 1);
  if (decoded != 1) {
    if (capacity > 0) jpeg[0] = 0;
    return decoded;  // the decoder's own value
  }
  if (!folder->BitmapToJpeg(kBmp, kJpg)) return kNoPicture;

  size_t size = 0;
  switch (folder->Read(kJpg, jpeg, capacity, &size)) {
    case platform::ReadOutcome::Read:
      if (size == 0) return kNoPicture;
      if (size > static_cast<size_t>(INT32_MAX)) return kJpegTooLarge;
      *length = static_cast<int32_t>(size);
      return 1;
    case platform::ReadOutcome::TooLarge: return kJpegTooLarge;
    case platform::ReadOutcome::Failed: break;
  }
  return kFileError;
}

}  // namespace

SystemPortraitConverter::SystemPortraitConverter(std::string directory)
    : directory_(directory.empty() ? platform::DefaultDirectory() : std::move(directory)),
      decoderLibrary_(platform::DefaultDecoderLibrary()) {}

int32_t SystemPortraitConverter::ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* jpeg,
                                                 size_t capacity) {
  if (portrait == nullptr || length == nullptr || jpeg == nullptr || *length < 0) return kFileError;
  try {
    return Convert(directory_, decoderLibrary_, keepFiles_, portrait, length, jpeg, capacity);
  } catch (...) {
    return kFileError;  // out of memory; nothing unwinds into the exchange
  }
}

}  // namespace q48
