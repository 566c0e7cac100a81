/*
 * A stand-in winmm.dll for the Wine tests of the timer resolution. Loaded by
 * Q48Reader.dll from the host's folder in place of the system's, it grants
 * every timeBeginPeriod and timeEndPeriod request and appends one line per
 * call ("begin 1", "end 1") to the file that %Q48_TIMER_LOG% names.
 * It exports only what Q48Reader.dll imports from winmm.
 */
/* The build's WIN32_LEAN_AND_MEAN leaves out mmsystem.h, whose
   declarations would clash with these definitions. */
#include <windows.h>

#include <stdio.h>

static void Record(const char* call, UINT period) {
  char path[MAX_PATH];
  const DWORD size = GetEnvironmentVariableA("Q48_TIMER_LOG", path, sizeof path);
  if (size == 0 || size >= sizeof path) return;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[32];
  const int length = snprintf(line, sizeof line, "%s %u\n", call, period);
  DWORD written = 0;
  if (length > 0) WriteFile(file, line, (DWORD)length, &written, NULL);
  CloseHandle(file);
}

__declspec(dllexport) UINT WINAPI timeBeginPeriod(UINT period) {
  Record("begin", period);
  return 0; /* TIMERR_NOERROR */
}

__declspec(dllexport) UINT WINAPI timeEndPeriod(UINT period) {
  Record("end", period);
  return 0;
}
