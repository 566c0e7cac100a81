#include "installer.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace installer {
namespace {

// Messages are GBK (code page 936) bytes, printed as they are: they read
// correctly on a Chinese console and nothing converts them.

// "......\n"
constexpr char kProgress[] = "......\n";
// "\n安装成功！\n"
constexpr char kSucceeded[] = "\n\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6\xA3\xA1\n";
// "\n安装失败！\n"
constexpr char kFailed[] = "\n\xB0\xB2\xD7\xB0\xCA\xA7\xB0\xDC\xA3\xA1\n";
// "\n安装失败[%d]\n"
constexpr char kRegistrationFailed[] = "\n\xB0\xB2\xD7\xB0\xCA\xA7\xB0\xDC[%d]\n";
// "%s文件被占用，请关闭相关程序后重试[%d]\n"
constexpr char kInUse[] =
    "%s\xCE\xC4\xBC\xFE\xB1\xBB\xD5\xBC\xD3\xC3\xA3\xAC\xC7\xEB\xB9\xD8\xB1\xD5"
    "\xCF\xE0\xB9\xD8\xB3\xCC\xD0\xF2\xBA\xF3\xD6\xD8\xCA\xD4[%d]\n";
// "%s文件拒绝访问，请关闭相关程序并确认有操作权限[%d]\n"
constexpr char kAccessDenied[] =
    "%s\xCE\xC4\xBC\xFE\xBE\xDC\xBE\xF8\xB7\xC3\xCE\xCA\xA3\xAC\xC7\xEB\xB9\xD8"
    "\xB1\xD5\xCF\xE0\xB9\xD8\xB3\xCC\xD0\xF2\xB2\xA2\xC8\xB7\xC8\xCF\xD3\xD0"
    "\xB2\xD9\xD7\xF7\xC8\xA8\xCF\xDE[%d]\n";
// "请以管理员身份运行[%d]\n"
constexpr char kRunAsAdministrator[] =
    "\xC7\xEB\xD2\xD4\xB9\xDC\xC0\xED\xD4\xB1\xC9\xED\xB7\xDD\xD4\xCB\xD0\xD0[%d]\n";
// "%s文件丢失\n"
constexpr char kMissing[] = "%s\xCE\xC4\xBC\xFE\xB6\xAA\xCA\xA7\n";
// "%s复制失败，请以管理员身份运行[%d]\n"
constexpr char kCopyFailed[] =
    "%s\xB8\xB4\xD6\xC6\xCA\xA7\xB0\xDC\xA3\xAC\xC7\xEB\xD2\xD4\xB9\xDC\xC0\xED"
    "\xD4\xB1\xC9\xED\xB7\xDD\xD4\xCB\xD0\xD0[%d]\n";

constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kAccessDeniedError = 5;
constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kLockViolation = 33;

constexpr char kInstallDir[] = "C:\\Palvix";
constexpr char kSystem32[] = "C:\\windows\\system32";
constexpr char kSysWow64[] = "C:\\windows\\syswow64";

[[gnu::format(printf, 2, 3)]] void PrintFormatted(Platform& platform, const char* format,
                                                  ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> text(static_cast<std::size_t>(length > 0 ? length : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  platform.Print(std::string(text.data(), text.size() - 1));
}

// Error codes print the way printf("%d") shows the platform's unsigned value.
int AsPrinted(std::uint32_t code) { return static_cast<int>(code); }

// Every stop waits for the user so that a double-clicked console stays open
// long enough to read the message.
bool StopAfterFailedFileStep(Platform& platform) {
  platform.Print(kFailed);
  platform.ReadChar();
  return false;
}

bool Replace(Platform& platform, const std::string& target, const std::string& source) {
  return DeleteTarget(platform, target) && CopyToTarget(platform, target, source);
}

bool Register(Platform& platform, const std::string& command) {
  const int status = platform.Run(command);
  if (status == 0) return true;
  PrintFormatted(platform, kRegistrationFailed, status);
  platform.ReadChar();
  return false;
}

}  // namespace

bool DeleteTarget(Platform& platform, const std::string& path) {
  if (platform.Delete(path)) {
    platform.Print(kProgress);
    return true;
  }
  const std::uint32_t code = platform.LastError();
  switch (code) {
    case kFileNotFound:
      return true;
    case kSharingViolation:
    case kLockViolation:
      PrintFormatted(platform, kInUse, path.c_str(), AsPrinted(code));
      break;
    case kAccessDeniedError:
      PrintFormatted(platform, kAccessDenied, path.c_str(), AsPrinted(code));
      break;
    default:
      PrintFormatted(platform, kRunAsAdministrator, AsPrinted(code));
      break;
  }
  return StopAfterFailedFileStep(platform);
}

bool CopyToTarget(Platform& platform, const std::string& target, const std::string& source) {
  if (platform.Copy(source, target)) {
    platform.Print(kProgress);
    return true;
  }
  const std::uint32_t code = platform.LastError();
  switch (code) {
    case kFileNotFound:
      // Sources are "./" and a file name: the user is shown the bare name.
      PrintFormatted(platform, kMissing, source.c_str() + (source.size() < 2 ? source.size() : 2));
      break;
    case kSharingViolation:
    case kLockViolation:
      PrintFormatted(platform, kInUse, target.c_str(), AsPrinted(code));
      break;
    case kAccessDeniedError:
      PrintFormatted(platform, kAccessDenied, target.c_str(), AsPrinted(code));
      break;
    default:
      PrintFormatted(platform, kCopyFailed, target.c_str(), AsPrinted(code));
      break;
  }
  return StopAfterFailedFileStep(platform);
}

bool InstallFiles(Platform& platform) {
  // Decided before anything is copied; the 32-bit files belong in syswow64
  // when this 32-bit program runs on 64-bit Windows.
  const bool wow64 = platform.IsWow64();
  platform.CreateDir(kInstallDir);

  // Tarnix.ocx is registered under the name Palvix.ocx and then overwritten by
  // the real Palvix.ocx, which is not registered itself.
  if (!Replace(platform, "C:\\Palvix\\Palvix.ocx", "./Tarnix.ocx")) return false;
  if (!Register(platform, "regsvr32 C:\\Palvix\\Palvix.ocx")) return false;
  if (!Replace(platform, "C:\\Palvix\\Palvix.ocx", "./Palvix.ocx")) return false;
  if (!Replace(platform, "C:\\Palvix\\Q37Reader.dll", "./Q37Reader.dll")) return false;
  if (!Replace(platform, "C:\\Palvix\\Q48Reader.dll", "./Q48Reader.dll")) return false;
  if (!Replace(platform, "C:\\Palvix\\Morvane.ocx", "./Morvane.ocx")) return false;
  if (!Replace(platform, "C:\\Palvix\\Unstall.bat", "./Unstall.bat")) return false;
  if (!Register(platform, "regsvr32 C:\\Palvix\\Morvane.ocx")) return false;

  const std::string system_dir = wow64 ? kSysWow64 : kSystem32;
  static constexpr const char* kSystemFiles[] = {
      "Palvix.ocx", "Morvane.ocx", "Q48Reader.dll", "Q37Reader.dll", "sdtapi.dll", "WltRS.dll",
  };
  for (const char* name : kSystemFiles) {
    if (!Replace(platform, system_dir + "\\" + name, std::string("./") + name)) return false;
  }
  return true;
}

void RunSetup(Platform& platform) {
  if (!InstallFiles(platform)) {
    platform.Exit(kExitFailure);
    return;
  }
  platform.Print(kSucceeded);
  platform.ReadChar();
  platform.Exit(kExitSuccess);
}

}  // namespace installer
