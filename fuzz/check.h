// The property check the fuzz targets share.
#pragma once

#include <cstdio>
#include <cstdlib>

// A failed property: the expression on stderr, then the crash that libFuzzer reports.
#define CHECK(condition)                                              \
  do {                                                                \
    if (!(condition)) {                                               \
      std::fprintf(stderr, "check failed: %s\n", #condition);        \
      std::abort();                                                   \
    }                                                                 \
  } while (false)
