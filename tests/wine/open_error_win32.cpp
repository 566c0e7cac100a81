// Asks for the card type on a named port through the library's internal
// exchange, to show what a client is told when the port cannot be opened.
//
//   q48_wine_open_error DEVICE
//
// Prints "result <code>" and "open_error <text>", one a line (the text in the
// ANSI code page). Exit status 0, or 2 for bad arguments.
#include <cstdio>
#include <string>

#include "api/exchange.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: q48_wine_open_error DEVICE\n");
    return 2;
  }
  std::string openError = "not cleared";
  q48::ExchangeOptions options;
  options.device = argv[1];
  options.openError = &openError;
  const int result = q48::ReadCardType(options);
  std::printf("result %d\nopen_error %s\n", result, openError.c_str());
  return 0;
}
