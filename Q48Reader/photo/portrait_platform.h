// What the portrait conversion asks of the platform: files, the working
// directory, the outside decoder library and the JPEG encoder. One backend per
// platform (portrait_posix.cpp, portrait_win32.cpp), chosen by CMake.
//
// The only caller is SystemPortraitConverter::ConvertPortrait (portrait.cpp),
// on the export's calling thread. Nothing here keeps state between calls or
// takes a lock; every call blocks only on the local file system, except
// DecoderLibrary::GetBmp, which blocks for as long as the outside decoder
// runs. Paths are narrow text in the platform's file-name encoding (the ANSI
// code page on Windows); the caller owns every path and buffer it passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace q48::portrait_platform {

// Separator between the portrait directory and a file name.
extern const char kPathSeparator;

// Creates the portrait directory, private to the user where the platform has
// per-user modes (POSIX: 0700, missing parents too). The outcome is not
// reported: a directory that cannot be made shows up as a failed file write.
void MakeDirectory(const std::string& directory);

// Removes a file if it is there; anything else is ignored.
void RemoveFile(const std::string& path);

// Creates or truncates `path` and writes `size` bytes of `bytes` (POSIX: mode
// 0600, never through a symbolic link). True when every byte was written and
// the file closed cleanly.
bool WriteWholeFile(const std::string& path, const uint8_t* bytes, size_t size);

enum class ReadOutcome {
  Read,      // *size bytes (0 for an empty file) are in `out`
  TooLarge,  // the file holds more than `capacity` bytes; `out` untouched
  Failed,    // no such file, or a read error; `out` may hold a part
};

// Reads the whole of a regular file into `out` (the caller's buffer of
// `capacity` bytes). *size is set only on ReadOutcome::Read.
ReadOutcome ReadWholeFile(const std::string& path, uint8_t* out, size_t capacity, size_t* size);

// The bitmap the decoder wrote at `bmpPath` saved as a JPEG at `jpgPath`
// (POSIX: TurboJPEG, the bitmap made private first and refused beyond a
// portrait's plausible size; Windows: GDI+ with the encoder's defaults). True
// when the JPEG file was written.
bool BitmapToJpeg(const std::string& bmpPath, const std::string& jpgPath);

// The process's working directory into *path; false when it cannot be had.
bool CurrentDirectory(std::string* path);
// Makes `path` the working directory again; the outcome is not reported.
void ChangeDirectory(const std::string& path);

// The outside decoder library, loaded by name with the platform's ordinary
// search order and released when this object goes.
class DecoderLibrary {
 public:
  enum class Load { Loaded, NoLibrary, NoEntry };

  DecoderLibrary() = default;
  ~DecoderLibrary();
  DecoderLibrary(const DecoderLibrary&) = delete;
  DecoderLibrary& operator=(const DecoderLibrary&) = delete;

  // Loads the library and looks up GetBmp. Call once.
  Load Open(const std::string& name);
  // GetBmp(wltPath, mode) with the platform's calling convention; only after
  // Open gave Loaded. Returns the decoder's own value (1: pic.bmp written).
  int GetBmp(const char* wltPath, int mode);

 private:
  void* library_ = nullptr;  // dlopen handle or HMODULE
  void* entry_ = nullptr;    // GetBmp
};

}  // namespace q48::portrait_platform
