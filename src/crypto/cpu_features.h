// Which instruction set extensions the symmetric code may use.
//
// SHA-256 and AES each have two implementations: the processor's own
// instructions (SHA-NI, AES-NI) and portable C++. The processor is asked once
// per process (cpuid); the hardware path is preferred wherever it exists,
// because the portable AES uses lookup tables whose cache footprint depends on
// key and data, which leaks timing to anyone sharing the machine.
#pragma once

namespace vl {

struct CpuFeatures {
  bool sha = false;  // SHA-NI with SSSE3 and SSE4.1
  bool aes = false;  // AES-NI with SSSE3 and SSE4.1
};

// What the processor reports, asked once and remembered.
const CpuFeatures& detectedCpuFeatures();

// True when SHA-256 compresses blocks with the SHA instructions.
bool useShaInstructions();
// True when newly keyed AES objects use the AES instructions.
bool useAesInstructions();

// Test hook: with `force` true the portable code runs even where the processor
// has the instructions; false returns to the detected choice. Affects SHA-256
// calls and AES objects keyed after the call.
void forcePortableCrypto(bool force);

}  // namespace vl
