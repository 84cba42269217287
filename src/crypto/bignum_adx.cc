#include "crypto/bignum_adx.h"

#include "core/secure_wipe.h"
#include "crypto/cpu_features.h"

namespace vl::adx {

bool available() { return detectedCpuFeatures().adx; }

#if defined(__x86_64__)

namespace {

// One asm block does all N rows of the product. Row i adds a * b[i] to the
// running sum t (pass A), then u * m with u = t[0] * n0, which clears t[0],
// and moves the sum down one limb (pass B: each limb is stored one place
// lower). In both passes MULX leaves the flags alone; ADCX carries the low
// halves through CF and ADOX the high halves through OF, so the two chains
// never wait on each other. The limbs go two at a time so that the high half
// of one product can wait in a register for the next limb's ADOX. The sum
// stays below 2m, so it fits N limbs and one more limb of at most 1 ("top",
// kept in a register between the passes). The first limb of pass B is
// stored just below t, into work[0], and never read.
template <int N>
void rows(uint64_t* out, const uint64_t* a, const uint64_t* b, const uint64_t* m, uint64_t n0) {
  static_assert(N % 2 == 0);
  uint64_t work[N + 2] = {};
  uint64_t* t = work + 1;
  uint64_t i;
  uint64_t top;
  asm volatile(
      "xor %k[i], %k[i]\n\t"
      "1:\n\t"
      "mov (%[b],%[i],8), %%rdx\n\t"
      "xor %%r11d, %%r11d\n\t"
      "xor %%eax, %%eax\n\t"
      ".set vl_adx_j, 0\n\t"
      ".rept %c[pairs]\n\t"
      "mulx vl_adx_j*8(%[a]), %%r8, %%r9\n\t"
      "adcx vl_adx_j*8(%[t]), %%r8\n\t"
      "adox %%r11, %%r8\n\t"
      "mov %%r8, vl_adx_j*8(%[t])\n\t"
      "mulx vl_adx_j*8+8(%[a]), %%r10, %%r11\n\t"
      "adcx vl_adx_j*8+8(%[t]), %%r10\n\t"
      "adox %%r9, %%r10\n\t"
      "mov %%r10, vl_adx_j*8+8(%[t])\n\t"
      ".set vl_adx_j, vl_adx_j+2\n\t"
      ".endr\n\t"
      "adcx %c[bytes](%[t]), %%r11\n\t"
      "adox %%rax, %%r11\n\t"
      "mov %%r11, %c[bytes](%[t])\n\t"
      "mov $0, %[top]\n\t"
      "adcx %%rax, %[top]\n\t"
      "adox %%rax, %[top]\n\t"
      "mov (%[t]), %%rdx\n\t"
      "imul %[n0], %%rdx\n\t"
      "xor %%r11d, %%r11d\n\t"
      "xor %%eax, %%eax\n\t"
      ".set vl_adx_j, 0\n\t"
      ".rept %c[pairs]\n\t"
      "mulx vl_adx_j*8(%[m]), %%r8, %%r9\n\t"
      "adcx vl_adx_j*8(%[t]), %%r8\n\t"
      "adox %%r11, %%r8\n\t"
      "mov %%r8, vl_adx_j*8-8(%[t])\n\t"
      "mulx vl_adx_j*8+8(%[m]), %%r10, %%r11\n\t"
      "adcx vl_adx_j*8+8(%[t]), %%r10\n\t"
      "adox %%r9, %%r10\n\t"
      "mov %%r10, vl_adx_j*8(%[t])\n\t"
      ".set vl_adx_j, vl_adx_j+2\n\t"
      ".endr\n\t"
      "adcx %c[bytes](%[t]), %%r11\n\t"
      "adox %%rax, %%r11\n\t"
      "mov %%r11, %c[bytes]-8(%[t])\n\t"
      "adcx %%rax, %[top]\n\t"
      "adox %%rax, %[top]\n\t"
      "mov %[top], %c[bytes](%[t])\n\t"
      "inc %[i]\n\t"
      "cmp %[n], %[i]\n\t"
      "jne 1b\n\t"
      : [i] "=&r"(i), [top] "=&r"(top)
      : [t] "r"(t), [a] "r"(a), [b] "r"(b), [m] "r"(m), [n0] "rm"(n0), [pairs] "i"(N / 2),
        [bytes] "i"(8 * N), [n] "i"(N)
      : "rax", "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
  for (int j = 0; j <= N; ++j) out[j] = t[j];
  secureWipe(work, sizeof work);
}

}  // namespace

void montRows16(uint64_t* t, const uint64_t* a, const uint64_t* b, const uint64_t* m,
                uint64_t n0) {
  rows<16>(t, a, b, m, n0);
}

void montRows32(uint64_t* t, const uint64_t* a, const uint64_t* b, const uint64_t* m,
                uint64_t n0) {
  rows<32>(t, a, b, m, n0);
}

#else

void montRows16(uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*, uint64_t) {}
void montRows32(uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*, uint64_t) {}

#endif

}  // namespace vl::adx
