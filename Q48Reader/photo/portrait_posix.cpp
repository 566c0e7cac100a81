// Portrait conversion's platform steps on POSIX: the outside decoder loaded
// with dlopen, the bitmap re-encoded with TurboJPEG, files in a per-user
// directory (the portrait is personal data: directory 0700, files 0600).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "portrait.h"
#include "portrait_platform.h"

namespace q48 {

std::string DefaultPortraitDirectory() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/Palvix";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/Palvix";
  return "/tmp/Palvix-" + std::to_string(getuid());
}

const char* DefaultDecoderLibrary() { return "libWltRS.so"; }

namespace portrait_platform {

namespace {

// A bitmap beyond this is no portrait (the card's is 102 x 126); refusing it
// keeps a misbehaving decoder from costing the host gigabytes.
constexpr off_t kMaxBitmapBytes = 16 * 1024 * 1024;

using GetBmpFn = int (*)(const char*, int);

// Repeats a read or write step (given the bytes done so far) until `size`
// bytes have gone, it fails or it moves nothing; returns the bytes done.
template <typename Step>
size_t Repeat(size_t size, Step step) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = step(done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace

const char kPathSeparator = '/';

void MakeDirectory(const std::string& directory) {
  // Parents (~/.cache, even the home) may be missing on a fresh account.
  for (size_t slash = directory.find('/', 1); slash != std::string::npos; slash = directory.find('/', slash + 1))
    (void)mkdir(directory.substr(0, slash).c_str(), 0700);
  (void)mkdir(directory.c_str(), 0700);
}

void RemoveFile(const std::string& path) { (void)unlink(path.c_str()); }

bool WriteWholeFile(const std::string& path, const uint8_t* bytes, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const size_t done = Repeat(size, [&](size_t at) { return write(fd, bytes + at, size - at); });
  (void)fchmod(fd, 0600);  // an older file may have other bits
  return close(fd) == 0 && done == size;
}

ReadOutcome ReadWholeFile(const std::string& path, uint8_t* out, size_t capacity, size_t* size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return ReadOutcome::Failed;
  struct stat info {};
  ReadOutcome outcome = ReadOutcome::Failed;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    if (static_cast<unsigned long long>(info.st_size) > capacity) {
      outcome = ReadOutcome::TooLarge;
    } else {
      const auto total = static_cast<size_t>(info.st_size);
      if (Repeat(total, [&](size_t at) { return read(fd, out + at, total - at); }) == total) {
        *size = total;
        outcome = ReadOutcome::Read;
      }
    }
  }
  close(fd);
  return outcome;
}

bool BitmapToJpeg(const std::string& bmpPath, const std::string& jpgPath) {
  struct stat info {};
  if (lstat(bmpPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  (void)chmod(bmpPath.c_str(), 0600);  // the decoder chose its mode
  if (info.st_size > kMaxBitmapBytes) return false;
  tjhandle compressor = tjInitCompress();
  if (compressor == nullptr) return false;
  int width = 0, height = 0, format = TJPF_RGB;
  unsigned char* pixels = tjLoadImage(bmpPath.c_str(), &width, 1, &height, &format, 0);
  bool ok = false;
  if (pixels != nullptr && width > 0 && height > 0) {
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int subsampling = format == TJPF_GRAY ? TJSAMP_GRAY : TJSAMP_420;
    if (tjCompress2(compressor, pixels, width, 0, height, format, &jpeg, &jpegSize, subsampling, 75, 0) == 0)
      ok = WriteWholeFile(jpgPath, jpeg, jpegSize);
    tjFree(jpeg);
  }
  tjFree(pixels);
  tjDestroy(compressor);
  return ok;
}

bool CurrentDirectory(std::string* path) {
  std::vector<char> buffer(256);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) {
      path->assign(buffer.data());
      return true;
    }
    if (errno != ERANGE || buffer.size() >= (size_t{1} << 20)) return false;
    buffer.resize(buffer.size() * 2);
  }
}

void ChangeDirectory(const std::string& path) { (void)chdir(path.c_str()); }

DecoderLibrary::~DecoderLibrary() {
  if (library_ != nullptr) dlclose(library_);
}

DecoderLibrary::Load DecoderLibrary::Open(const std::string& name) {
  library_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) return Load::NoLibrary;
  entry_ = dlsym(library_, "GetBmp");
  return entry_ != nullptr ? Load::Loaded : Load::NoEntry;
}

int DecoderLibrary::GetBmp(const char* wltPath, int mode) {
  return reinterpret_cast<GetBmpFn>(entry_)(wltPath, mode);
}

}  // namespace portrait_platform
}  // namespace q48
