// The stand-in decoder's one export, __stdcall as the outside library's is.
// Linked with --kill-at so that the 32-bit name is undecorated ("GetBmp").
#include "wlt_format.h"

extern "C" __declspec(dllexport) int __stdcall GetBmp(const char* wltPath, int mode);

extern "C" int __stdcall GetBmp(const char* wltPath, int mode) {
  try {
    return wltrs::DecodeFileToBmp(wltPath, mode);
  } catch (...) {
    // Nothing may unwind into the caller; out of memory counts as unreadable.
    return wltrs::kDecodeUnreadable;
  }
}
