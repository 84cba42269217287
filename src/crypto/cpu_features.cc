#include "crypto/cpu_features.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vl {
namespace {

std::atomic<bool> g_force_portable{false};
// The forced SHA-256 path plus one; 0 when none is forced.
std::atomic<int> g_forced_sha{0};

CpuFeatures ask() {
  CpuFeatures features;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  const bool aes = (ecx & bit_AES) != 0;
  bool sha = false;
  bool bmi = false;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
    sha = (ebx & bit_SHA) != 0;
    bmi = (ebx & bit_BMI) != 0 && (ebx & bit_BMI2) != 0;
    features.adx = (ebx & bit_BMI2) != 0 && (ebx & bit_ADX) != 0;
  }
  features.aes = aes && ssse3 && sse41;
  features.sha = sha && ssse3 && sse41;
  // The compiler's check includes the operating system's support for the
  // 256-bit registers (XGETBV), which cpuid alone does not tell.
  __builtin_cpu_init();
  features.avx2 = __builtin_cpu_supports("avx2") != 0 && bmi;
#endif
  return features;
}

}  // namespace

const CpuFeatures& detectedCpuFeatures() {
  static const CpuFeatures features = ask();
  return features;
}

bool sha256PathAvailable(Sha256Path path) {
  switch (path) {
    case Sha256Path::kPortable:
      return true;
    case Sha256Path::kAvx2:
      return detectedCpuFeatures().avx2;
    case Sha256Path::kShaInstructions:
      return detectedCpuFeatures().sha;
  }
  return false;
}

Sha256Path sha256Path() {
  int forced = g_forced_sha.load(std::memory_order_relaxed);
  if (forced != 0) return static_cast<Sha256Path>(forced - 1);
  if (g_force_portable.load(std::memory_order_relaxed)) return Sha256Path::kPortable;
  if (detectedCpuFeatures().sha) return Sha256Path::kShaInstructions;
  if (detectedCpuFeatures().avx2) return Sha256Path::kAvx2;
  return Sha256Path::kPortable;
}

bool useAesInstructions() {
  return detectedCpuFeatures().aes && !g_force_portable.load(std::memory_order_relaxed);
}

void forcePortableCrypto(bool force) { g_force_portable.store(force, std::memory_order_relaxed); }

void forceSha256Path(std::optional<Sha256Path> path) {
  g_forced_sha.store(path ? static_cast<int>(*path) + 1 : 0, std::memory_order_relaxed);
}

}  // namespace vl
