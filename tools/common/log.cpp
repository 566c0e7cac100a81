#include "log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace q48tool {

namespace {

namespace fs = std::filesystem;

// NAME.EXT -> NAME.n.EXT (n > 0); the file itself for n == 0.
fs::path Numbered(const fs::path& path, int n) {
  if (n == 0) return path;
  fs::path out = path;
  out.replace_filename(path.stem().string() + "." + std::to_string(n) + path.extension().string());
  return out;
}

// localtime's buffer is shared by every thread: one lock for every caller.
std::mutex g_timeMutex;

}  // namespace

std::string LogTimeStamp(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  char stamp[32] = "";
  {
    std::lock_guard<std::mutex> lock(g_timeMutex);
    if (const std::tm* local = std::localtime(&seconds)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);
  }
  char out[40];
  std::snprintf(out, sizeof out, "%s.%03d", stamp, static_cast<int>(millis));
  return out;
}

Log::~Log() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Log::OpenFile(const std::string& path, std::string* error, uint64_t maxBytes, int keep) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  path_ = path;
  size_ = ec ? 0 : size;
  maxBytes_ = maxBytes;
  limit_ = maxBytes;
  keep_ = keep;
  rotationFailed_ = false;
  return true;
}

void Log::CloseFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void Log::SetStderr(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  stderr_ = on;
}

void Log::Write(const std::string& text) {
  const std::string line = LogTimeStamp(std::chrono::system_clock::now()) + " " + text + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (stderr_) {
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  if (file_ == nullptr) return;
  if (maxBytes_ > 0 && size_ > 0 && size_ + line.size() > limit_) RotateLocked();
  if (file_ == nullptr) return;
  std::fputs(line.c_str(), file_);
  std::fflush(file_);
  size_ += line.size();
}

// Renames may fail (a reader holding a file open on Windows, a folder that
// took an old log's name): the log then goes on in the file it has, says so
// once, and tries again only after another maxBytes, not on every line.
void Log::RotateLocked() {
  std::fclose(file_);
  file_ = nullptr;
  std::error_code ec, failed;
  fs::remove(Numbered(path_, keep_), ec);
  for (int n = keep_ - 1; n >= 0; --n) {
    if (!fs::exists(Numbered(path_, n), ec)) continue;
    fs::rename(Numbered(path_, n), Numbered(path_, n + 1), failed);
    if (failed) break;  // the lower ones stay, rather than overwrite one that did not move
  }
  if (keep_ == 0) fs::remove(path_, failed);
  file_ = std::fopen(path_.c_str(), "a");
  size_ = file_ != nullptr ? static_cast<uint64_t>(fs::file_size(path_, ec)) : 0;
  if (ec) size_ = 0;
  limit_ = failed ? size_ + maxBytes_ : maxBytes_;
  if (!failed) {
    rotationFailed_ = false;
  } else if (!rotationFailed_ && file_ != nullptr) {
    rotationFailed_ = true;
    const std::string line = LogTimeStamp(std::chrono::system_clock::now()) + " log: cannot rotate " + path_ +
                             ": " + failed.message() + "; going on in it\n";
    std::fputs(line.c_str(), file_);
    size_ += line.size();
  }
}

void Log::Callback(const std::string& line, void* self) { static_cast<Log*>(self)->Write(line); }

Log& Log::Process() {
  static Log log;
  return log;
}

}  // namespace q48tool
