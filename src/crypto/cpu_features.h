// Which instruction set extensions the crypto code may use.
//
// SHA-256 and AES each have the processor's own instructions (SHA-NI,
// AES-NI) and portable C++; SHA-256 also has an AVX2 path between the two.
// The processor is asked once per process (cpuid); the hardware path is
// preferred wherever it exists, because the portable AES uses lookup tables
// whose cache footprint depends on key and data, which leaks timing to anyone
// sharing the machine. The big-number code asks here for BMI2 and ADX.
#pragma once

#include <optional>

namespace vl {

struct CpuFeatures {
  bool sha = false;  // SHA-NI with SSSE3 and SSE4.1
  bool aes = false;  // AES-NI with SSSE3 and SSE4.1
  bool avx2 = false;  // AVX2 (saved by the operating system), BMI1 and BMI2
  bool adx = false;   // BMI2 and ADX: MULX, ADCX and ADOX
};

// The ways SHA-256 compresses blocks, slowest first.
enum class Sha256Path { kPortable, kAvx2, kShaInstructions };

// What the processor reports, asked once and remembered.
const CpuFeatures& detectedCpuFeatures();

// The SHA-256 path in use: the fastest this processor has, unless a test
// hook below chose another.
Sha256Path sha256Path();
// True when this processor can run `path`.
bool sha256PathAvailable(Sha256Path path);
// True when newly keyed AES objects use the AES instructions.
bool useAesInstructions();

// Test hook: with `force` true the portable code runs even where the processor
// has the instructions; false returns to the detected choice. Affects SHA-256
// calls and AES objects keyed after the call.
void forcePortableCrypto(bool force);
// Test and benchmark hook: SHA-256 uses `path` (which must be available)
// whatever forcePortableCrypto says; nullopt returns to the usual choice.
void forceSha256Path(std::optional<Sha256Path> path);

}  // namespace vl
