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

// One limb of a row that adds rdx * x to t starting at limb vl_sq_i:
// t[i + j] += low half of rdx * x[j] (CF) plus the previous limb's high half
// (OF, waiting in r11), for the limb j = vl_sq_j, which moves on by one.
#define VL_ADX_ADD_ROW_LIMB(x)                       \
  "mulx 8*vl_sq_j(%[" x "]), %%r8, %%r9\n\t"         \
  "adcx 8*vl_sq_i+8*vl_sq_j(%[t]), %%r8\n\t"         \
  "adox %%r11, %%r8\n\t"                             \
  "mov %%r8, 8*vl_sq_i+8*vl_sq_j(%[t])\n\t"          \
  "mov %%r9, %%r11\n\t"                              \
  ".set vl_sq_j, vl_sq_j + 1\n\t"

// a * a / R mod m (below 2m) in three passes over a product of 2N limbs
// in memory: the products a[i] * a[j] for i < j, row by row; then all of it
// doubled (ADCX adding each limb to itself passes the top bit on through CF)
// while the squares a[i]^2 come in through OF; then N rows of reduction, each
// adding u * m with u = t[i] * n0, which clears t[i]. The carry out of a
// reduction row waits in "top" and is added one limb higher by the next row.
// Fewer multiplications than a product: N(N-1)/2 + N + N^2 instead of 2N^2.
template <int N>
void square(uint64_t* out, const uint64_t* a, const uint64_t* m, uint64_t n0) {
  uint64_t t[2 * N] = {};
  uint64_t top;
  asm volatile(
      ".set vl_sq_i, 0\n\t"
      ".rept %c[n] - 1\n\t"
      "mov 8*vl_sq_i(%[a]), %%rdx\n\t"
      "xor %%r11d, %%r11d\n\t"
      "xor %%eax, %%eax\n\t"
      ".set vl_sq_j, vl_sq_i + 1\n\t"
      ".rept %c[n] - 1 - vl_sq_i\n\t"
      VL_ADX_ADD_ROW_LIMB("a")
      ".endr\n\t"
      "adcx %%rax, %%r11\n\t"
      "adox %%rax, %%r11\n\t"
      "mov %%r11, 8*vl_sq_i+%c[bytes](%[t])\n\t"
      ".set vl_sq_i, vl_sq_i + 1\n\t"
      ".endr\n\t"
      "xor %%eax, %%eax\n\t"
      ".set vl_sq_i, 0\n\t"
      ".rept %c[n]\n\t"
      "mov 8*vl_sq_i(%[a]), %%rdx\n\t"
      "mulx %%rdx, %%r8, %%r9\n\t"
      "mov 16*vl_sq_i(%[t]), %%r10\n\t"
      "adcx %%r10, %%r10\n\t"
      "adox %%r8, %%r10\n\t"
      "mov %%r10, 16*vl_sq_i(%[t])\n\t"
      "mov 16*vl_sq_i+8(%[t]), %%r10\n\t"
      "adcx %%r10, %%r10\n\t"
      "adox %%r9, %%r10\n\t"
      "mov %%r10, 16*vl_sq_i+8(%[t])\n\t"
      ".set vl_sq_i, vl_sq_i + 1\n\t"
      ".endr\n\t"
      "xor %k[top], %k[top]\n\t"
      ".set vl_sq_i, 0\n\t"
      ".rept %c[n]\n\t"
      "mov 8*vl_sq_i(%[t]), %%rdx\n\t"
      "imul %[n0], %%rdx\n\t"
      "xor %%r11d, %%r11d\n\t"
      "xor %%eax, %%eax\n\t"
      ".set vl_sq_j, 0\n\t"
      ".rept %c[n]\n\t"
      VL_ADX_ADD_ROW_LIMB("m")
      ".endr\n\t"
      "adcx 8*vl_sq_i+%c[bytes](%[t]), %%r11\n\t"
      "adox %[top], %%r11\n\t"
      "mov %%r11, 8*vl_sq_i+%c[bytes](%[t])\n\t"
      "mov $0, %[top]\n\t"
      "adcx %%rax, %[top]\n\t"
      "adox %%rax, %[top]\n\t"
      ".set vl_sq_i, vl_sq_i + 1\n\t"
      ".endr\n\t"
      : [top] "=&r"(top)
      : [t] "r"(t), [a] "r"(a), [m] "r"(m), [n0] "rm"(n0), [n] "i"(N), [bytes] "i"(8 * N)
      : "rax", "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
  for (int j = 0; j < N; ++j) out[j] = t[N + j];
  out[N] = top;
  secureWipe(t, sizeof t);
}

}  // namespace

void montSquare16(uint64_t* t, const uint64_t* a, const uint64_t* m, uint64_t n0) {
  square<16>(t, a, m, n0);
}

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
void montSquare16(uint64_t*, const uint64_t*, const uint64_t*, uint64_t) {}

#endif

}  // namespace vl::adx
