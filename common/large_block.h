// Memory for large buffers that are filled at once: a whole group file read
// into memory, a large page received from a site.
//
// Each page of memory a process touches for the first time costs a fault,
// and under virtualisation that is expensive: a fresh 1 MB buffer cost more
// to touch than to fill from a socket. Blocks of kHugeBlockMinimum bytes or
// more are mapped on their own, aligned for transparent huge pages where the
// system offers them (then a whole 2 MB takes one fault); blocks of
// kPrefaultMinimum bytes or more come from operator new with their pages
// faulted in by one call. Elements are default-initialised, so that a
// vector<char> of n bytes is not zero-filled only to be overwritten.
#ifndef VANTRY_COMMON_LARGE_BLOCK_H_
#define VANTRY_COMMON_LARGE_BLOCK_H_

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace vy {

inline constexpr size_t kPrefaultMinimum = size_t{256} << 10;
inline constexpr size_t kHugeBlockMinimum = size_t{1} << 20;

// Faults in the whole pages inside [begin, begin + size) for writing; does
// nothing where the kernel cannot (the pages then fault one by one as usual).
void prefaultForWriting(void* begin, size_t size);

// A block of at least kHugeBlockMinimum bytes, and its release (with the
// size it was asked for). allocateHugeBlock throws std::bad_alloc as
// operator new does.
void* allocateHugeBlock(size_t size);
void releaseHugeBlock(void* block, size_t size);

template <typename T>
class LargeBlockAllocator {
 public:
  using value_type = T;

  LargeBlockAllocator() = default;
  template <typename U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes >= kHugeBlockMinimum) return static_cast<T*>(allocateHugeBlock(bytes));
    void* block = ::operator new(bytes);
    if (bytes >= kPrefaultMinimum) prefaultForWriting(block, bytes);
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes >= kHugeBlockMinimum) {
      releaseHugeBlock(block, bytes);
    } else {
      ::operator delete(block);
    }
  }

  // Default-initialise rather than value-initialise.
  template <typename U>
  void construct(U* at) {
    ::new (static_cast<void*>(at)) U;
  }
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const LargeBlockAllocator&, const LargeBlockAllocator&) { return true; }
};

// The bytes of a file read whole.
using FileImage = std::vector<char, LargeBlockAllocator<char>>;
// A text that may grow large, such as a page received from a site.
using LargeText = std::basic_string<char, std::char_traits<char>, LargeBlockAllocator<char>>;

}  // namespace vy

#endif  // VANTRY_COMMON_LARGE_BLOCK_H_
