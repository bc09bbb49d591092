// Storage for buffers that grow with the input (internal).
#ifndef QELT_CORE_UTIL_BIG_BUFFER_H_
#define QELT_CORE_UTIL_BIG_BUFFER_H_

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qelt {
namespace internal {

// Allocations of 32 MiB and more come fresh from the kernel on every call (the C
// library maps them rather than reusing its heap), and each 4 KiB page then costs a
// fault when first touched: on large inputs, a good share of the time. Such buffers
// are therefore aligned to 2 MiB and offered for transparent huge pages, which the
// kernel takes up where the system allows it, with one fault per 2 MiB. Smaller
// buffers come from operator new as usual, and keep the reuse the heap gives them.
template <typename T>
struct BigBufferAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kBig = std::size_t{32} << 20;
  // Aligned past what plain operator new gives (big buffers are aligned to pages).
  static constexpr bool kOverAligned = alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__;

  BigBufferAllocator() = default;
  template <typename U>
  BigBufferAllocator(const BigBufferAllocator<U>&) {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kBig) {
      if constexpr (kOverAligned) {
        return static_cast<T*>(::operator new(bytes, std::align_val_t(alignof(T))));
      } else {
        return static_cast<T*>(::operator new(bytes));
      }
    }
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, rounded, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
#endif
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) < kBig) {
      if constexpr (kOverAligned) {
        ::operator delete(p, std::align_val_t(alignof(T)));
      } else {
        ::operator delete(p);
      }
    } else {
      std::free(p);
    }
  }

  // Elements are default-initialised: a buffer of numbers is not zeroed first, since
  // every such buffer is written before it is read, and zeroing would cost a pass.
  template <typename U>
  void construct(U* p) noexcept(noexcept(U())) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <typename U>
  bool operator==(const BigBufferAllocator<U>&) const { return true; }
  template <typename U>
  bool operator!=(const BigBufferAllocator<U>&) const { return false; }
};

// A vector for buffers that grow with the input; its elements start uninitialised
// unless given a value.
template <typename T>
using BigVector = std::vector<T, BigBufferAllocator<T>>;

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_BIG_BUFFER_H_
