// What the processor can do, asked once per feature, and the byte shuffle that spreads one byte a
// pixel into three. Header-only, so that the renderer shares it without linking framework.
#pragma once

#include <atomic>

#if defined(__x86_64__)
#include <tmmintrin.h>

/// Marks a function built for the byte shuffles (SSSE3), called only where HasCpuFeature says so.
#define QUILLAMAR_SSSE3 __attribute__((target("ssse3")))
#endif

namespace quillamar {

/// The processor features that our vectorised routines choose by, oldest first: a processor with
/// one of them has those before it too.
enum class CpuFeature {
  kSse2,                   ///< 128-bit integer vectors (every x86-64 processor)
  kSsse3,                  ///< byte shuffles
  kCarrylessMultiply,      ///< 128-bit carry-less multiplies (PCLMULQDQ)
  kWideCarrylessMultiply,  ///< the same on 256-bit registers (AVX2 and VPCLMULQDQ)
};
inline constexpr int kCpuFeatureCount = 4;

namespace detail {
// How many features of the list HasCpuFeature may report (LimitCpuFeatures).
inline std::atomic<int> cpu_features_allowed{kCpuFeatureCount};
}  // namespace detail

/// For tests: from now on HasCpuFeature reports only the first count features of the list, so that
/// every vectorised routine takes the variant a processor with just those would take (0: the
/// plain C ones; kCpuFeatureCount: whatever the processor has).
inline void LimitCpuFeatures(int count) {
  detail::cpu_features_allowed.store(count, std::memory_order_relaxed);
}

/// True when the processor has the feature and no limit hides it; each is asked once.
inline bool HasCpuFeature(CpuFeature feature) {
  if (static_cast<int>(feature) >= detail::cpu_features_allowed.load(std::memory_order_relaxed)) {
    return false;
  }
#if defined(__x86_64__)
  static const bool kSsse3 = __builtin_cpu_supports("ssse3");
  static const bool kCarryless = __builtin_cpu_supports("pclmul");
  static const bool kWideCarryless =
      __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
  switch (feature) {
    case CpuFeature::kSse2:
      return true;
    case CpuFeature::kSsse3:
      return kSsse3;
    case CpuFeature::kCarrylessMultiply:
      return kCarryless;
    case CpuFeature::kWideCarrylessMultiply:
      return kWideCarryless;
  }
#endif
  (void)feature;
  return false;
}

#if defined(__x86_64__)
/// Sixteen bytes, each repeated three times: the 48 bytes of sixteen pixels whose three samples
/// are that byte, in three registers.
struct SpreadBytes {
  __m128i low;
  __m128i middle;
  __m128i high;
};

QUILLAMAR_SSSE3 inline SpreadBytes SpreadEachByteThrice(__m128i sixteen) {
  const __m128i low = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i middle = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i high =
      _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  return {_mm_shuffle_epi8(sixteen, low), _mm_shuffle_epi8(sixteen, middle),
          _mm_shuffle_epi8(sixteen, high)};
}
#endif

}  // namespace quillamar
