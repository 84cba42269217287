#include "crypto/cpu_features.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vl {
namespace {

std::atomic<bool> g_force_portable{false};

CpuFeatures ask() {
  CpuFeatures features;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  const bool aes = (ecx & bit_AES) != 0;
  bool sha = false;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) sha = (ebx & bit_SHA) != 0;
  features.aes = aes && ssse3 && sse41;
  features.sha = sha && ssse3 && sse41;
#endif
  return features;
}

}  // namespace

const CpuFeatures& detectedCpuFeatures() {
  static const CpuFeatures features = ask();
  return features;
}

bool useShaInstructions() {
  return detectedCpuFeatures().sha && !g_force_portable.load(std::memory_order_relaxed);
}

bool useAesInstructions() {
  return detectedCpuFeatures().aes && !g_force_portable.load(std::memory_order_relaxed);
}

void forcePortableCrypto(bool force) { g_force_portable.store(force, std::memory_order_relaxed); }

}  // namespace vl
