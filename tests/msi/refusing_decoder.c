/* A portrait decoder that is found first and decodes nothing: the MSI test
 * puts it in the system folder to show that the installed stand-in never
 * takes a real decoder's place. */
#include <windows.h>

__declspec(dllexport) int WINAPI GetBmp(const char* wltPath, int mode) {
  (void)wltPath;
  (void)mode;
  return 0;
}
