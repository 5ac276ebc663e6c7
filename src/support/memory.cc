#include "support/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace kelvane {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void prefer_huge_pages(void* data, std::size_t size) noexcept {
  if (size < 2 * kHugePage) return;
  // The advice covers whole small pages, rounded outwards: a large block has
  // a mapping of its own, and advising all of it keeps that mapping in one
  // piece, which realloc needs in order to move it without copying.
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = begin & ~(kPage - 1);
  const std::uintptr_t last = (begin + size + kPage - 1) & ~(kPage - 1);
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

ByteBuffer::~ByteBuffer() {
  std::free(data_);
}

void ByteBuffer::grow(std::size_t needed) {
  std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
  while (capacity < needed) {
    if (capacity > SIZE_MAX / 2) throw std::bad_alloc();
    capacity *= 2;
  }
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
  prefer_huge_pages(data_, capacity_);
}

}  // namespace kelvane
