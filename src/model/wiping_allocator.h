// WipingAllocator: a standard allocator that zeroes memory before freeing it.
//
// Containers of plain data (file names, hashes, index nodes) hold what the
// user backs up, so their storage is wiped when it is released or replaced
// on growth, as every ByteBuffer is. Use the aliases below instead of bare
// standard containers for such data.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "core/secure_wipe.h"

namespace vl {

template <typename T>
class WipingAllocator {
 public:
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  // Zeroes all `n` elements' bytes, then frees them.
  void deallocate(T* p, std::size_t n) noexcept {
    secureWipe(p, n * sizeof(T));
    ::operator delete(p);
  }

  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using WipedVector = std::vector<T, WipingAllocator<T>>;

// A UTF-16 string whose storage is wiped on release.
using WipedU16String =
    std::basic_string<char16_t, std::char_traits<char16_t>, WipingAllocator<char16_t>>;

}  // namespace vl
