// Portrait conversion on POSIX: the outside decoder loaded with dlopen, the
// bitmap re-encoded with TurboJPEG, in a per-user directory (the portrait is
// personal data: directory 0700, files 0600).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "portrait.h"

namespace q48 {

namespace {

// A bitmap beyond this is no portrait (the card's is 102 x 126); refusing it
// keeps a misbehaving decoder from costing the host gigabytes.
constexpr off_t kMaxBitmapBytes = 16 * 1024 * 1024;

using GetBmpFn = int (*)(const char*, int);

bool WriteWhole(const std::string& path, const uint8_t* bytes, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  (void)fchmod(fd, 0600);  // an older file may have other bits
  return close(fd) == 0 && done == size;
}

// Reads a whole regular file into `out` if it holds at most `capacity` bytes.
int32_t ReadJpeg(const std::string& path, uint8_t* out, size_t capacity, int32_t* length) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return kJpegUnreadable;
  struct stat info {};
  int32_t result = kFileError;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    if (static_cast<unsigned long long>(info.st_size) > capacity) {
      result = kJpegTooLarge;
    } else {
      const auto size = static_cast<size_t>(info.st_size);
      size_t done = 0;
      while (done < size) {
        const ssize_t n = read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      if (done == size && size > 0) {
        *length = static_cast<int32_t>(size);
        result = 1;
      }
    }
  }
  close(fd);
  return result;
}

// The bitmap the decoder wrote, as JPEG in pic.jpg.
bool BitmapToJpeg(const std::string& bmpPath, const std::string& jpgPath) {
  struct stat info {};
  if (lstat(bmpPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxBitmapBytes) return false;
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
      ok = WriteWhole(jpgPath, jpeg, jpegSize);
    tjFree(jpeg);
  }
  tjFree(pixels);
  tjDestroy(compressor);
  return ok;
}

}  // namespace

std::string DefaultPortraitDirectory() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/Palvix";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/Palvix";
  return "/tmp/Palvix-" + std::to_string(getuid());
}

const char* DefaultDecoderLibrary() { return "libWltRS.so"; }

SystemPortraitConverter::SystemPortraitConverter(std::string directory)
    : directory_(directory.empty() ? DefaultPortraitDirectory() : std::move(directory)),
      decoderLibrary_(DefaultDecoderLibrary()) {}

int32_t SystemPortraitConverter::ConvertPortrait(const uint8_t* portrait, int32_t* length, uint8_t* jpeg,
                                                 size_t capacity) {
  if (portrait == nullptr || length == nullptr || jpeg == nullptr || *length < 0) return kFileError;
  // Parents (~/.cache, even the home) may be missing on a fresh account.
  for (size_t slash = directory_.find('/', 1); slash != std::string::npos; slash = directory_.find('/', slash + 1))
    (void)mkdir(directory_.substr(0, slash).c_str(), 0700);
  (void)mkdir(directory_.c_str(), 0700);
  const std::string wlt = directory_ + "/pic.wlt";
  const std::string bmp = directory_ + "/pic.bmp";
  const std::string jpg = directory_ + "/pic.jpg";

  // The working directory is never changed: it belongs to every thread of the
  // host, and the decoder is given an absolute path.
  void* library = dlopen(decoderLibrary_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return kNoDecoderLibrary;
  auto getBmp = reinterpret_cast<GetBmpFn>(dlsym(library, "GetBmp"));
  if (getBmp == nullptr) {
    dlclose(library);
    return kNoDecoderEntry;
  }

  // An earlier picture must never stand in for this one.
  (void)unlink(bmp.c_str());
  (void)unlink(jpg.c_str());

  int32_t result;
  if (!WriteWhole(wlt, portrait, static_cast<size_t>(*length))) {
    result = kFileError;
  } else {
    result = getBmp(wlt.c_str(), 1);
    if (result != 1) {
      jpeg[0] = 0;
    } else {
      (void)chmod(bmp.c_str(), 0600);
      result = BitmapToJpeg(bmp, jpg) ? ReadJpeg(jpg, jpeg, capacity, length) : kNoPicture;
    }
  }
  dlclose(library);
  return result;
}

}  // namespace q48
