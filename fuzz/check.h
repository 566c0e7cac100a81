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

// Marks harness code (stream building, checks) that coverage need not steer
// by: its branches say nothing about the code under test, and instrumented
// they slow every run.
#define FUZZ_HARNESS __attribute__((no_sanitize("coverage")))
