// The fuzz targets' invariant check: a report libFuzzer keeps with the
// crashing input, then abort.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);   \
      std::abort();                                                                             \
    }                                                                                           \
  } while (false)
