// Large blocks of memory; see large_block.h.
#include "common/large_block.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

namespace vy {
namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

uintptr_t roundUp(uintptr_t value, uintptr_t unit) { return (value + unit - 1) & ~(unit - 1); }

// The mapping of a block: its size rounded up to whole huge pages.
size_t mappedSize(size_t size) { return roundUp(size, kHugePage); }

}  // namespace

void prefaultForWriting(void* begin, size_t size) {
  static const uintptr_t kPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t start = roundUp(reinterpret_cast<uintptr_t>(begin), kPage);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(begin) + size) & ~(kPage - 1);
  if (end > start) {
    (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
  }
}

void* allocateHugeBlock(size_t size) {
  // Map one huge page more than needed, then cut the mapping down to an
  // aligned run of whole huge pages.
  const size_t mapped = mappedSize(size);
  void* raw = ::mmap(nullptr, mapped + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = roundUp(start, kHugePage);
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t tail = start + mapped + kHugePage - (aligned + mapped);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + mapped), tail);
  void* block = reinterpret_cast<void*>(aligned);
  (void)::madvise(block, mapped, MADV_HUGEPAGE);  // a request; refused where there are none
  return block;
}

void releaseHugeBlock(void* block, size_t size) { ::munmap(block, mappedSize(size)); }

}  // namespace vy
