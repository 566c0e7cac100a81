#include <errno.h>
#include <iconv.h>

#include "terminal_text.h"

namespace q48cli {

std::string GbkToUtf8(const std::string& gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string out;
  char* in = const_cast<char*>(gbk.data());
  size_t inLeft = gbk.size();
  char chunk[512];
  while (inLeft > 0) {
    char* o = chunk;
    size_t outLeft = sizeof chunk;
    const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    out.append(chunk, static_cast<size_t>(o - chunk));
    if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
    out += "\xEF\xBF\xBD";  // a byte that is no GBK: U+FFFD, then on
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  return out;
}

}  // namespace q48cli

#include <unistd.h>

namespace q48cli {
bool StderrIsTerminal() { return isatty(2) == 1; }
}  // namespace q48cli
