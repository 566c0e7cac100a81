// What the portrait conversion asks of the platform: the portrait folder and
// its files, the working directory, the outside decoder library and the JPEG
// encoder.
//
// Backends: portrait_posix.cpp, portrait_win32.cpp; CMake picks one. A new
// platform defines every function below and makes the two classes.
//
// Caller: SystemPortraitConverter::ConvertPortrait (portrait.cpp), on the
// export's calling thread. Nothing here keeps state between conversions or
// takes a lock. Blocks: on the local file system only, except
// DecoderLibrary::GetBmp, which blocks for as long as the outside decoder
// runs. Buffers and paths are the caller's, used during the call; paths are
// narrow text in the platform's file-name encoding (the ANSI code page on
// Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace q48::portrait_platform {

// The portrait folder when the converter is given none: "C:\Palvix" on
// Windows; on POSIX $XDG_CACHE_HOME/Palvix, else ~/.cache/Palvix with the
// home from HOME or, without it, from the password database. Empty when
// there is no home to put it in.
std::string DefaultDirectory();
// The decoder library's name ("WltRS.dll", "libWltRS.so"), loaded with the
// platform's ordinary search order.
const char* DefaultDecoderLibrary();

enum class ReadOutcome {
  Read,      // *size bytes (0 for an empty file) are in `out`
  TooLarge,  // the file holds more than `capacity` bytes; `out` untouched
  Failed,    // no such file, or a read error; `out` may hold a part
};

// The folder one conversion's files go to, by name ("pic.wlt", ...).
class PortraitFolder {
 public:
  virtual ~PortraitFolder() = default;
  // The path of a file in the folder as the outside decoder is to be given it.
  virtual std::string PathOf(const char* name) const = 0;
  // Removes the file if it is there; anything else is ignored.
  virtual void Remove(const char* name) = 0;
  // A new file holding `size` bytes of `bytes`, in place of any file of that
  // name (POSIX: mode 0600, never through a link). True when every byte was
  // written and the file closed cleanly.
  virtual bool Write(const char* name, const uint8_t* bytes, size_t size) = 0;
  // The whole of a regular file into `out` (`capacity` bytes). *size is set
  // only on ReadOutcome::Read.
  virtual ReadOutcome Read(const char* name, uint8_t* out, size_t capacity, size_t* size) = 0;
  // The bitmap the decoder wrote saved as a JPEG (POSIX: TurboJPEG, the
  // bitmap made private first and refused beyond a portrait's plausible
  // size; Windows: GDI+ with the encoder's defaults). True when the JPEG was
  // written.
  virtual bool BitmapToJpeg(const char* bmpName, const char* jpgName) = 0;
};

// The folder at `directory`, made when missing (POSIX: mode 0700, missing
// parents too). POSIX takes it only when it is a real directory that belongs
// to the caller and gives no access to group or others (it tightens one of
// the caller's that does); null when no safe folder can be had. Windows
// takes it as it is.
std::unique_ptr<PortraitFolder> OpenFolder(const std::string& directory);

// The outside decoder library, released when this object goes.
class DecoderLibrary {
 public:
  virtual ~DecoderLibrary() = default;
  // GetBmp(wltPath, mode) with the platform's calling convention. Returns
  // the decoder's own value (1: the .bmp beside the .wlt is written).
  virtual int GetBmp(const char* wltPath, int mode) = 0;
};

enum class DecoderLoad { Loaded, NoLibrary, NoEntry };

// Loads the library by name and looks up GetBmp; *library is set when
// Loaded.
DecoderLoad LoadDecoder(const std::string& name, std::unique_ptr<DecoderLibrary>* library);

// The process's working directory into *path; false when it cannot be had.
bool CurrentDirectory(std::string* path);
// Makes `path` the working directory again; the outcome is not reported.
void ChangeDirectory(const std::string& path);

}  // namespace q48::portrait_platform
