// A prefetch the compiler keeps (internal).
//
// GCC counts __builtin_prefetch as no effect at all when it works out which functions
// are pure: a function that only prefetches (ContextModel::prefetch_home, say) is then
// pure, and a call to it whose result is unused is deleted, prefetch and all, once the
// compiler may see through it (as -fno-semantic-interposition, or a static function,
// lets it). An asm statement marked volatile is an effect it must keep.
#ifndef QELT_CORE_UTIL_PREFETCH_H_
#define QELT_CORE_UTIL_PREFETCH_H_

namespace qelt {
namespace internal {

// Asks for the cache line holding `address` (which need not be valid memory) to be
// brought into every level of the caches. The only effect is speed.
inline void prefetch(const void* address) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

// The same, for a line about to be written.
inline void prefetch_for_write(const void* address) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm volatile("prefetchw %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address, 1);
#endif
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_PREFETCH_H_
