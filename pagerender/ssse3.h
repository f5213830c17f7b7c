// Functions built for SSSE3 (byte shuffles), used only where the processor has it.
#pragma once

#if defined(__x86_64__)
#include <tmmintrin.h>

#define QUILLAMAR_SSSE3 __attribute__((target("ssse3")))

namespace quillamar::pagerender {

inline bool HasSsse3() {
  static const bool kHas = __builtin_cpu_supports("ssse3");
  return kHas;
}

}  // namespace quillamar::pagerender
#endif
