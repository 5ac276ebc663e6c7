#include "json/internal/arena.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "support/memory.h"

namespace kelvane::json {

struct Arena::Chunk {
  Chunk* previous;
  std::size_t size;  // the whole allocation, this header included
};

namespace {

constexpr std::size_t kFirstChunk = std::size_t{64} << 10;
constexpr std::size_t kLargestChunk = std::size_t{64} << 20;
constexpr std::size_t kHeader = (sizeof(void*) + sizeof(std::size_t) + 15) & ~std::size_t{15};

}  // namespace

void* Arena::allocate_slow(std::size_t bytes) {
  // Chunks double up to a limit, so a small document stays small and a large
  // one needs few of them; a block bigger than the next chunk gets its own.
  const std::size_t wanted = std::max(next_chunk_size_, kFirstChunk);
  const bool dedicated = bytes + kHeader > wanted / 2;
  const std::size_t size = dedicated ? bytes + kHeader : wanted;
  void* raw = std::malloc(size);
  if (raw == nullptr) throw std::bad_alloc();
  prefer_huge_pages(raw, size);
  auto* chunk = static_cast<Chunk*>(raw);
  chunk->size = size;
  char* data = static_cast<char*>(raw) + kHeader;
  if (dedicated) {
    // Behind the current chunk, which keeps serving small blocks.
    if (chunks_ == nullptr) {
      chunk->previous = nullptr;
      chunks_ = chunk;
    } else {
      chunk->previous = chunks_->previous;
      chunks_->previous = chunk;
    }
    return data;
  }
  chunk->previous = chunks_;
  chunks_ = chunk;
  next_ = data + bytes;
  end_ = static_cast<char*>(raw) + size;
  next_chunk_size_ = std::min(wanted * 2, kLargestChunk);
  return data;
}

void* Arena::take_chunks() noexcept {
  void* chunks = chunks_;
  chunks_ = nullptr;
  next_ = end_ = nullptr;
  next_chunk_size_ = 0;
  return chunks;
}

void Arena::free_chunks(void* chunks) noexcept {
  auto* chunk = static_cast<Chunk*>(chunks);
  while (chunk != nullptr) {
    Chunk* previous = chunk->previous;
    std::free(chunk);
    chunk = previous;
  }
}

}  // namespace kelvane::json
