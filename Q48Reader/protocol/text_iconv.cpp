// The library's text on Linux and other POSIX systems: GBK, converted from
// UTF-16LE with iconv.
#include <errno.h>
#include <iconv.h>

#include <cstring>

#include "text_platform.h"

namespace q48 {

namespace {

// iconv descriptors are not thread-safe; one per thread, opened once.
// From UCS-2LE rather than UTF-16LE: GBK has no character beyond the BMP,
// so a surrogate becomes "?" either way and the results are the same, but
// UCS-2 is built into glibc. A conversion through two loaded gconv modules
// crashes in statically linked arm64 programs (the test programs of the
// arm64 build): the second module's entry point is demangled with the
// wrong pointer guard.
class Converter {
 public:
  Converter() : cd_(iconv_open("GBK", "UCS-2LE")) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

size_t UnitsBeforeNul(const uint8_t* bytes, size_t byteCount) {
  size_t units = 0;
  while (units * 2 + 1 < byteCount && (bytes[units * 2] | bytes[units * 2 + 1]) != 0) ++units;
  return units;
}

}  // namespace

// The library hands out GBK here, whatever the locale.
bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

std::string Utf16LeToGbk(const uint8_t* bytes, size_t byteCount) {
  const size_t units = bytes ? UnitsBeforeNul(bytes, byteCount) : 0;
  std::string out;
  if (units == 0) return out;
  thread_local Converter converter;
  if (converter.get() == reinterpret_cast<iconv_t>(-1)) {
    // No GBK converter installed: keep ASCII, mark everything else.
    for (size_t i = 0; i < units; ++i) {
      const unsigned unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
      out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return out;
  }
  iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);

  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  size_t inLeft = units * 2;
  char chunk[256];
  while (inLeft > 0) {
    char* outPtr = chunk;
    size_t outLeft = sizeof chunk;
    const size_t rc = iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
    out.append(chunk, static_cast<size_t>(outPtr - chunk));
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ (no GBK form, or a surrogate, which UCS-2 refuses): one "?"
    // for the offending unit, or for a whole surrogate pair, then on.
    const unsigned unit = static_cast<unsigned char>(in[0]) | (static_cast<unsigned char>(in[1]) << 8);
    size_t skip = 2;
    if (unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 4) {
      const unsigned low = static_cast<unsigned char>(in[2]) | (static_cast<unsigned char>(in[3]) << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) skip = 4;  // a whole pair that GBK lacks
    }
    out.push_back('?');
    in += skip;
    inLeft -= skip;
    iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

}  // namespace q48
