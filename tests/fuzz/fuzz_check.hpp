#pragma once
// The fuzz targets' assertion: a broken property ends the run as a crash, which libFuzzer reports
// with the input that caused it.

#include <cstdlib>

namespace vantor::fuzzing {

inline void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace vantor::fuzzing
