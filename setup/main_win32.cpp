#include "installer.h"
#include "platform_win32.h"

int main() {
  installer::Win32Platform platform;
  installer::RunSetup(platform);  // ends the process through Platform::Exit
}
