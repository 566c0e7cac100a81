// q48-emulator on POSIX: a new pty by default; SIGINT and SIGTERM stop it.
#include <pthread.h>
#include <signal.h>

#include "tool_platform.h"

namespace q48emu {
namespace tool {

namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

const char kAbout[] = "Plays a Q48 reader holding a card on a new pty and prints its path.\n";
const char kComName[] = "DEVICE";
const char kComHelp[] = "serve this serial device (e.g. /dev/ttyUSB1, one end of a null-modem cable) instead of a new pty";
const bool kHasPty = true;

void PrepareProcess() {
  // Blocked before the emulator's thread starts, so that it inherits the
  // mask and only sigwait sees them.
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A read of the terminal from the background then fails (ending the
  // commands) instead of stopping the whole process, the line with it.
  signal(SIGTTIN, SIG_IGN);
}

std::string WaitForStop() {
  const sigset_t signals = StopSignals();
  int received = 0;
  sigwait(&signals, &received);
  return received == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace tool
}  // namespace q48emu
