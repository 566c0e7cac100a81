// Portrait conversion's platform steps on POSIX: the outside decoder loaded
// with dlopen, the bitmap re-encoded with TurboJPEG, files in a per-user
// folder. The portrait is personal data: the folder must be the caller's
// alone (0700), its files are 0600, and every file is opened through the
// folder's descriptor, never through a link, so that no step checks one
// path and then uses another.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "portrait_platform.h"

namespace q48::portrait_platform {

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

void CloseQuietly(int fd) {
  if (fd >= 0) (void)close(fd);
}

// The home folder: HOME when it is an absolute path, else the password
// database's entry for the caller.
std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] != '/')
    return std::string();
  return found->pw_dir;
}

// A file that the caller may trust: a regular file of its own.
bool IsOwnFile(int fd, struct stat* info) {
  return fstat(fd, info) == 0 && S_ISREG(info->st_mode) && info->st_uid == geteuid();
}

class PosixFolder final : public PortraitFolder {
 public:
  PosixFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
    // The decoder opens its files by path. Through the descriptor's own
    // name in /proc the path is the folder checked here, whatever happens
    // to the path it was reached by; without /proc, the path itself.
    const std::string viaDescriptor = "/proc/self/fd/" + std::to_string(fd_);
    struct stat mine {}, seen {};
    if (fstat(fd_, &mine) == 0 && stat(viaDescriptor.c_str(), &seen) == 0 && mine.st_dev == seen.st_dev &&
        mine.st_ino == seen.st_ino)
      decoderPath_ = viaDescriptor;
    else
      decoderPath_ = path_;
  }
  ~PosixFolder() override { CloseQuietly(fd_); }
  PosixFolder(const PosixFolder&) = delete;
  PosixFolder& operator=(const PosixFolder&) = delete;

  std::string PathOf(const char* name) const override { return decoderPath_ + "/" + name; }

  void Remove(const char* name) override { (void)unlinkat(fd_, name, 0); }

  bool Write(const char* name, const uint8_t* bytes, size_t size) override {
    // A new file, never one found there: an old one may be a link, or a
    // file that someone else still holds open.
    Remove(name);
    const int fd = openat(fd_, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const size_t done = Repeat(size, [&](size_t at) { return write(fd, bytes + at, size - at); });
    return close(fd) == 0 && done == size;
  }

  ReadOutcome Read(const char* name, uint8_t* out, size_t capacity, size_t* size) override {
    const int fd = openat(fd_, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return ReadOutcome::Failed;
    struct stat info {};
    ReadOutcome outcome = ReadOutcome::Failed;
    if (IsOwnFile(fd, &info)) {
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

  bool BitmapToJpeg(const char* bmpName, const char* jpgName) override {
    const int fd = openat(fd_, bmpName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = false;
    if (IsOwnFile(fd, &info) && info.st_size <= kMaxBitmapBytes) {
      (void)fchmod(fd, 0600);  // the decoder chose its mode
      // TurboJPEG reads by path: the open descriptor's own name in /proc is
      // this very file; without /proc, the name in the folder.
      const std::string viaDescriptor = "/proc/self/fd/" + std::to_string(fd);
      ok = Encode(access(viaDescriptor.c_str(), R_OK) == 0 ? viaDescriptor : path_ + "/" + bmpName, jpgName);
    }
    close(fd);
    return ok;
  }

 private:
  bool Encode(const std::string& bmpPath, const char* jpgName) {
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
        ok = Write(jpgName, jpeg, jpegSize);
      tjFree(jpeg);
    }
    tjFree(pixels);
    tjDestroy(compressor);
    return ok;
  }

  const int fd_;
  const std::string path_;
  std::string decoderPath_;
};

class PosixDecoder final : public DecoderLibrary {
 public:
  PosixDecoder() = default;
  ~PosixDecoder() override {
    if (library_ != nullptr) dlclose(library_);
  }
  PosixDecoder(const PosixDecoder&) = delete;
  PosixDecoder& operator=(const PosixDecoder&) = delete;

  DecoderLoad Load(const std::string& name) {
    library_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) return DecoderLoad::NoLibrary;
    entry_ = dlsym(library_, "GetBmp");
    return entry_ != nullptr ? DecoderLoad::Loaded : DecoderLoad::NoEntry;
  }
  int GetBmp(const char* wltPath, int mode) override { return reinterpret_cast<GetBmpFn>(entry_)(wltPath, mode); }

 private:
  void* library_ = nullptr;
  void* entry_ = nullptr;
};

}  // namespace

std::string DefaultDirectory() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/Palvix";
  // No shared fallback such as /tmp: another user could make the folder
  // there first and receive every portrait.
  const std::string home = HomeDirectory();
  return home.empty() ? std::string() : home + "/.cache/Palvix";
}

const char* DefaultDecoderLibrary() { return "libWltRS.so"; }

std::unique_ptr<PortraitFolder> OpenFolder(const std::string& directory) {
  if (directory.empty()) return nullptr;
  // Parents (~/.cache, even the home) may be missing on a fresh account.
  for (size_t slash = directory.find('/', 1); slash != std::string::npos; slash = directory.find('/', slash + 1))
    (void)mkdir(directory.substr(0, slash).c_str(), 0700);
  (void)mkdir(directory.c_str(), 0700);

  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;  // missing, not a directory, or a link
  struct stat info {};
  // Another user's folder is refused: its owner could read every portrait.
  // One of the caller's own that lets others in is closed to them.
  const bool safe = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
                    ((info.st_mode & 07777) == 0700 || fchmod(fd, 0700) == 0);
  if (!safe) {
    CloseQuietly(fd);
    return nullptr;
  }
  try {
    return std::make_unique<PosixFolder>(fd, directory);
  } catch (...) {
    CloseQuietly(fd);
    throw;
  }
}

DecoderLoad LoadDecoder(const std::string& name, std::unique_ptr<DecoderLibrary>* library) {
  auto decoder = std::make_unique<PosixDecoder>();
  const DecoderLoad load = decoder->Load(name);
  if (load == DecoderLoad::Loaded) *library = std::move(decoder);
  return load;
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

}  // namespace q48::portrait_platform
