#include <errno.h>
#include <iconv.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "tool_platform.h"

namespace q48tool {

namespace {

// Converts all of `in`; on a byte sequence that `from` lacks, gives up
// (strict) or puts U+FFFD and skips one byte.
bool Convert(const char* to, const char* from, const std::string& in, std::string* out, bool strict) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->clear();
  char* next = const_cast<char*>(in.data());
  size_t left = in.size();
  char chunk[512];
  bool ok = true;
  while (left > 0) {
    char* o = chunk;
    size_t room = sizeof chunk;
    const size_t rc = iconv(cd, &next, &left, &o, &room);
    out->append(chunk, static_cast<size_t>(o - chunk));
    if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
    if (strict) {
      ok = false;
      break;
    }
    *out += "\xEF\xBF\xBD";
    ++next;
    --left;
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

std::string GbkToUtf8(const std::string& gbk) {
  std::string out;
  return Convert("UTF-8", "GBK", gbk, &out, false) ? out : gbk;
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) { return Convert("GBK", "UTF-8", utf8, gbk, true); }

std::u16string Utf8ToUtf16(const std::string& utf8) {
  // Through UCS-4, which glibc has built in: a converter module loaded beside
  // the library's GBK one breaks statically linked programs (text_iconv.cpp).
  std::u16string out;
  iconv_t cd = iconv_open("UCS-4LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  char* next = const_cast<char*>(utf8.data());
  size_t left = utf8.size();
  while (left > 0) {
    unsigned char unit[4];
    char* o = reinterpret_cast<char*>(unit);
    size_t room = sizeof unit;
    // One character at a time: the 4-byte buffer holds one.
    const bool failed = iconv(cd, &next, &left, &o, &room) == static_cast<size_t>(-1) && errno != E2BIG;
    if (room == 0) {
      const char32_t c = unit[0] | (unit[1] << 8) | (unit[2] << 16) | (static_cast<char32_t>(unit[3]) << 24);
      if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
      } else {
        out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      }
    }
    if (failed) {
      out.push_back(u'\uFFFD');
      ++next;
      --left;
    }
  }
  iconv_close(cd);
  return out;
}

// The tools keep the C locale, where the system's words are ASCII.
std::string SystemTextToUtf8(const std::string& text) { return text; }

const char* PortNameHint() { return "the device name"; }

const char* PermissionAdvice() {
  return "you may not use the reader's port: install the udev rule shipped with q48reader-tools, which gives "
         "the desktop user access (TAG+=\"uaccess\"), then plug the reader in again; or add yourself to the "
         "dialout group (sudo usermod -aG dialout $USER) and log in again";
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void UseUtf8Console() {}

bool StderrIsTerminal() { return isatty(2) == 1; }

namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

void CatchStopRequests() {
  // Blocked before any other thread starts, so that each inherits the mask
  // and only sigwait sees them.
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A read of the terminal from the background then fails (ending the
  // commands) instead of stopping the whole process.
  signal(SIGTTIN, SIG_IGN);
}

std::string WaitForStopRequest() {
  const sigset_t signals = StopSignals();
  int received = 0;
  sigwait(&signals, &received);
  return received == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace q48tool
