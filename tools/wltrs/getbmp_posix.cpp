// The stand-in decoder's one export; everything else in the library stays
// hidden (built with -fvisibility=hidden).
#include "wlt_format.h"

extern "C" __attribute__((visibility("default"))) int GetBmp(const char* wltPath, int mode);

extern "C" int GetBmp(const char* wltPath, int mode) {
  try {
    return wltrs::DecodeFileToBmp(wltPath, mode);
  } catch (...) {
    // Nothing may unwind into the caller; out of memory counts as unreadable.
    return wltrs::kDecodeUnreadable;
  }
}
