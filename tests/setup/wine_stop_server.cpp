// Stops the wineserver of this build tree's prefix once the Wine tests have
// run: a server left behind can hold a CI run's output open. Exits 77
// (skipped) when Wine is not installed.
#include <cstdio>
#include <string>

#include "wine_harness.h"

int main() {
  const q48::wine::WineHarness wine;
  if (!wine.Unavailable().empty()) {
    std::printf("skipped: %s\n", wine.Unavailable().c_str());
    return 77;
  }
  const std::string error = wine.StopServer();
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("stopped the wineserver of %s\n", wine.prefix().c_str());
  return 0;
}
