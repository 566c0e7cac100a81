// q48-emulator on Windows: a named COM port; Ctrl+C, Ctrl+Break and closing
// the console stop it.
#include <windows.h>

#include "tool_platform.h"

namespace q48emu {
namespace tool {

namespace {

HANDLE g_stop = nullptr;
volatile LONG g_stopKind = 0;

BOOL WINAPI OnConsoleEvent(DWORD kind) {
  InterlockedCompareExchange(&g_stopKind, static_cast<LONG>(kind) + 1, 0);
  SetEvent(g_stop);
  // For a closing console, Windows ends the process once this returns: give
  // the main thread a moment to stop the emulator and log it.
  if (kind == CTRL_CLOSE_EVENT) Sleep(2000);
  return TRUE;
}

}  // namespace

const char kAbout[] = "Plays a Q48 reader holding a card on a COM port (one end of a null-modem pair).\n";
const char kComName[] = "COMn";
const char kComHelp[] = "the COM port to serve (required)";
const bool kHasPty = false;

void PrepareProcess() {
  g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  // The profile's texts and the log are UTF-8.
  SetConsoleOutputCP(CP_UTF8);
}

std::string WaitForStop() {
  WaitForSingleObject(g_stop, INFINITE);
  switch (g_stopKind - 1) {
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "console closing";
    default:
      return "a stop request";
  }
}

}  // namespace tool
}  // namespace q48emu
