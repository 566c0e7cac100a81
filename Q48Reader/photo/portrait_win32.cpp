// Portrait conversion on Windows: the outside decoder WltRS.dll turns
// pic.wlt into pic.bmp, GDI+ saves that as pic.jpg, and the JPEG bytes are
// read back into the caller's buffer. Files live in "C:\Palvix".
// GDI+ needs the OLE declarations that WIN32_LEAN_AND_MEAN would leave out.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <gdiplus.h>

#include <cwchar>
#include <string>
#include <vector>

#include "portrait.h"

namespace q48 {

namespace {

using GetBmpFn = int(WINAPI*)(const char*, int);

namespace gdi = Gdiplus;
namespace flat = Gdiplus::DllExports;

// The process's working directory belongs to every thread of the host; the
// outside decoder may move it, so it is put back on every way out.
class WorkingDirectoryGuard {
 public:
  WorkingDirectoryGuard() {
    const DWORD needed = GetCurrentDirectoryA(0, nullptr);
    if (needed == 0) return;
    std::vector<char> buffer(needed + 1, '\0');
    const DWORD got = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (got > 0 && got < buffer.size()) saved_.assign(buffer.data(), got);
  }
  ~WorkingDirectoryGuard() {
    if (!saved_.empty()) (void)SetCurrentDirectoryA(saved_.c_str());
  }
  WorkingDirectoryGuard(const WorkingDirectoryGuard&) = delete;
  WorkingDirectoryGuard& operator=(const WorkingDirectoryGuard&) = delete;

 private:
  std::string saved_;
};

class Library {
 public:
  explicit Library(const std::string& name) : module_(LoadLibraryA(name.c_str())) {}
  ~Library() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  bool Close() {
    if (!valid()) return true;
    const bool ok = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE handle_;
};

std::wstring Wide(const std::string& text) {
  const int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], needed);
  wide.resize(static_cast<size_t>(needed - 1));
  return wide;
}

bool WriteWhole(const std::string& path, const uint8_t* bytes, DWORD size) {
  FileHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD done = 0;
  while (done < size) {
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes + done, size - done, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return file.Close();
}

// Reads the whole of pic.jpg into `out` if it holds at most `capacity` bytes.
int32_t ReadJpeg(const std::string& path, uint8_t* out, size_t capacity, int32_t* length) {
  FileHandle file(
      CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return kJpegUnreadable;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) return kFileError;
  if (static_cast<unsigned long long>(size.QuadPart) > capacity) return kJpegTooLarge;
  const auto total = static_cast<DWORD>(size.QuadPart);
  DWORD done = 0;
  while (done < total) {
    DWORD got = 0;
    if (!ReadFile(file.get(), out + done, total - done, &got, nullptr) || got == 0) return kFileError;
    done += got;
  }
  *length = static_cast<int32_t>(total);
  return 1;
}

// Whether a GDI+ extension list ("*.JPG;*.JPEG;...") names `extension`
// (".jpg"), without regard to case.
bool ListsExtension(const WCHAR* list, const wchar_t* extension) {
  if (list == nullptr) return false;
  const std::wstring all(list);
  for (size_t begin = 0; begin <= all.size();) {
    size_t end = all.find(L';', begin);
    if (end == std::wstring::npos) end = all.size();
    std::wstring entry = all.substr(begin, end - begin);
    const size_t dot = entry.find(L'.');
    if (dot != std::wstring::npos && _wcsicmp(entry.c_str() + dot, extension) == 0) return true;
    begin = end + 1;
  }
  return false;
}

bool FindEncoder(const wchar_t* extension, CLSID* encoder) {
  UINT count = 0, bytes = 0;
  if (flat::GdipGetImageEncodersSize(&count, &bytes) != gdi::Ok || count == 0 || bytes == 0) return false;
  // ImageCodecInfo records followed by the strings they point at.
  std::vector<uint64_t> storage(bytes / sizeof(uint64_t) + 1);
  auto* codecs = reinterpret_cast<gdi::ImageCodecInfo*>(storage.data());
  if (flat::GdipGetImageEncoders(count, bytes, codecs) != gdi::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (ListsExtension(codecs[i].FilenameExtension, extension)) {
      *encoder = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

// GDI+ for the length of one conversion.
class GdiplusSession {
 public:
  GdiplusSession() {
    gdi::GdiplusStartupInput input;
    started_ = gdi::GdiplusStartup(&token_, &input, nullptr) == gdi::Ok;
  }
  ~GdiplusSession() {
    if (started_) gdi::GdiplusShutdown(token_);
  }
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  bool started() const { return started_; }

 private:
  ULONG_PTR token_ = 0;
  bool started_ = false;
};

// pic.bmp as JPEG in pic.jpg, with the encoder's default settings.
bool BitmapToJpeg(const std::string& bmpPath, const std::string& jpgPath) {
  GdiplusSession session;
  if (!session.started()) return false;
  CLSID encoder{};
  if (!FindEncoder(L".jpg", &encoder)) return false;
  gdi::GpBitmap* bitmap = nullptr;
  if (flat::GdipCreateBitmapFromFile(Wide(bmpPath).c_str(), &bitmap) != gdi::Ok || bitmap == nullptr) return false;
  const bool saved = flat::GdipSaveImageToFile(bitmap, Wide(jpgPath).c_str(), &encoder, nullptr) == gdi::Ok;
  flat::GdipDisposeImage(bitmap);
  return saved;
}

}  // namespace

std::string DefaultPortraitDirectory() { return "C:\\Palvix"; }

const char* DefaultDecoderLibrary() { return "WltRS.dll"; }

SystemPortraitConverter::SystemPortraitConverter(std::string directory)
    : directory_(directory.empty() ? DefaultPortraitDirectory() : std::move(directory)),
      decoderLibrary_(DefaultDecoderLibrary()) {}

int32_t SystemPortraitConverter::ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* jpeg,
                                                 size_t capacity) {
  if (portrait == nullptr || length == nullptr || jpeg == nullptr || *length < 0) return kFileError;
  try {
    (void)CreateDirectoryA(directory_.c_str(), nullptr);  // already there is fine
    const std::string wlt = directory_ + "\\pic.wlt";
    const std::string bmp = directory_ + "\\pic.bmp";
    const std::string jpg = directory_ + "\\pic.jpg";

    WorkingDirectoryGuard workingDirectory;
    Library library(decoderLibrary_);
    if (library.get() == nullptr) return kNoDecoderLibrary;
    const auto getBmp =
        reinterpret_cast<GetBmpFn>(reinterpret_cast<void*>(GetProcAddress(library.get(), "GetBmp")));
    if (getBmp == nullptr) return kNoDecoderEntry;

    // An earlier picture must never stand in for this one.
    (void)DeleteFileA(bmp.c_str());
    (void)DeleteFileA(jpg.c_str());

    if (!WriteWhole(wlt, portrait, static_cast<DWORD>(*length))) return kFileError;
    const int32_t result = getBmp(wlt.c_str(), 1);
    if (result != 1) {
      if (capacity > 0) jpeg[0] = 0;
      return result;
    }
    if (!BitmapToJpeg(bmp, jpg)) return kNoPicture;
    return ReadJpeg(jpg, jpeg, capacity, length);
  } catch (...) {
    return kFileError;  // out of memory; nothing unwinds into the exchange
  }
}

}  // namespace q48
