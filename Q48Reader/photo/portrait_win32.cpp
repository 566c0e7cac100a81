// Portrait conversion's platform steps on Windows: the outside decoder
// WltRS.dll, GDI+ for the JPEG, files in "C:\Palvix".
// GDI+ needs the OLE declarations that WIN32_LEAN_AND_MEAN leaves out.
#undef WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <gdiplus.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "portrait_platform.h"

namespace q48::portrait_platform {

namespace {

using GetBmpFn = int(WINAPI*)(const char*, int);

namespace gdi = Gdiplus;
namespace flat = Gdiplus::DllExports;

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

// Files in "C:\Palvix" by path; the folder's access is Windows' own (an
// administrator's installation made it).
class Win32Folder final : public PortraitFolder {
 public:
  explicit Win32Folder(std::string directory) : directory_(std::move(directory)) {}

  std::string PathOf(const char* name) const override { return directory_ + "\\" + name; }

  void Remove(const char* name) override { (void)DeleteFileA(PathOf(name).c_str()); }

  bool Write(const char* name, const uint8_t* bytes, size_t size) override {
    if (size > MAXDWORD) return false;
    FileHandle file(CreateFileA(PathOf(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    const auto total = static_cast<DWORD>(size);
    DWORD done = 0;
    while (done < total) {
      DWORD written = 0;
      if (!WriteFile(file.get(), bytes + done, total - done, &written, nullptr) || written == 0) return false;
      done += written;
    }
    return file.Close();
  }

  ReadOutcome Read(const char* name, uint8_t* out, size_t capacity, size_t* size) override {
    FileHandle file(
        CreateFileA(PathOf(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return ReadOutcome::Failed;
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file.get(), &length) || length.QuadPart < 0) return ReadOutcome::Failed;
    if (static_cast<unsigned long long>(length.QuadPart) > capacity || length.QuadPart > MAXDWORD)
      return ReadOutcome::TooLarge;
    const auto total = static_cast<DWORD>(length.QuadPart);
    DWORD done = 0;
    while (done < total) {
      DWORD got = 0;
      if (!ReadFile(file.get(), out + done, total - done, &got, nullptr) || got == 0) return ReadOutcome::Failed;
      done += got;
    }
    *size = total;
    return ReadOutcome::Read;
  }

  bool BitmapToJpeg(const char* bmpName, const char* jpgName) override {
    GdiplusSession session;
    if (!session.started()) return false;
    CLSID encoder{};
    if (!FindEncoder(L".jpg", &encoder)) return false;
    gdi::GpBitmap* bitmap = nullptr;
    if (flat::GdipCreateBitmapFromFile(Wide(PathOf(bmpName)).c_str(), &bitmap) != gdi::Ok || bitmap == nullptr)
      return false;
    const bool saved = flat::GdipSaveImageToFile(bitmap, Wide(PathOf(jpgName)).c_str(), &encoder, nullptr) == gdi::Ok;
    flat::GdipDisposeImage(bitmap);
    return saved;
  }

 private:
  std::string directory_;
};

class Win32Decoder final : public DecoderLibrary {
 public:
  Win32Decoder() = default;
  ~Win32Decoder() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Win32Decoder(const Win32Decoder&) = delete;
  Win32Decoder& operator=(const Win32Decoder&) = delete;

  DecoderLoad Load(const std::string& name) {
    module_ = LoadLibraryA(name.c_str());
    if (module_ == nullptr) return DecoderLoad::NoLibrary;
    entry_ = GetProcAddress(module_, "GetBmp");
    return entry_ != nullptr ? DecoderLoad::Loaded : DecoderLoad::NoEntry;
  }
  int GetBmp(const char* wltPath, int mode) override {
    return reinterpret_cast<GetBmpFn>(reinterpret_cast<void*>(entry_))(wltPath, mode);
  }

 private:
  HMODULE module_ = nullptr;
  FARPROC entry_ = nullptr;
};

}  // namespace

std::string DefaultDirectory() { return "C:\\Palvix"; }

const char* DefaultDecoderLibrary() { return "WltRS.dll"; }

// Only the last level, with default security: "C:\Palvix" has no parent to
// make.
std::unique_ptr<PortraitFolder> OpenFolder(const std::string& directory) {
  (void)CreateDirectoryA(directory.c_str(), nullptr);
  return std::make_unique<Win32Folder>(directory);
}

DecoderLoad LoadDecoder(const std::string& name, std::unique_ptr<DecoderLibrary>* library) {
  auto decoder = std::make_unique<Win32Decoder>();
  const DecoderLoad load = decoder->Load(name);
  if (load == DecoderLoad::Loaded) *library = std::move(decoder);
  return load;
}

bool CurrentDirectory(std::string* path) {
  const DWORD needed = GetCurrentDirectoryA(0, nullptr);
  if (needed == 0) return false;
  std::vector<char> buffer(needed + 1, '\0');
  const DWORD got = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
  if (got == 0 || got >= buffer.size()) return false;
  path->assign(buffer.data(), got);
  return true;
}

void ChangeDirectory(const std::string& path) { (void)SetCurrentDirectoryA(path.c_str()); }

}  // namespace q48::portrait_platform
