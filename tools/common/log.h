// Time-stamped log lines, as q48-emulator and q48-service write them:
// "2026-12-08 13:30:50.159 TEXT", to standard error and, when asked, to a
// file that may be rotated by size.
//
// Write may be called on any thread; each line is written whole and flushed
// at once (the logs are read while the tools run). Callers must never hand a
// card field, an ICCID or a written text to a log.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace q48tool {

// Local time, "YYYY-MM-DD HH:MM:SS.mmm".
std::string LogTimeStamp(std::chrono::system_clock::time_point when);

class Log {
 public:
  Log() = default;
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Appends every line to `path` as well (created when missing). With
  // maxBytes > 0 a line that would take the file past maxBytes first moves
  // it to NAME.1.EXT (NAME.1 to NAME.2 and so on up to NAME.<keep>.EXT; the
  // oldest is dropped) and starts a new one; when it cannot, it says so
  // once and goes on in the file it has. False with "path: reason".
  bool OpenFile(const std::string& path, std::string* error, uint64_t maxBytes = 0, int keep = 0);
  // Lines go to standard error only from now on; the file is closed (before
  // a Windows service reports itself stopped, so that an uninstaller can
  // delete it).
  void CloseFile();
  // Standard error is written to unless turned off (a Windows service has none).
  void SetStderr(bool on);
  void Write(const std::string& text);

  // For C-style callbacks (the emulator's): `self` is the Log.
  static void Callback(const std::string& line, void* self);
  // The process's own log, for code that has no Log handed to it.
  static Log& Process();

 private:
  void RotateLocked();

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
  uint64_t size_ = 0;
  uint64_t maxBytes_ = 0;
  uint64_t limit_ = 0;  // the size past which the next line rotates
  int keep_ = 0;
  bool rotationFailed_ = false;  // and said so in the file
  bool stderr_ = true;
};

}  // namespace q48tool
