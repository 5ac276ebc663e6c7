// Memory for the values of one parsed document.
//
// A document read from a large file has millions of strings, arrays and
// objects, each in its own block. Taking them one after another from a few
// big chunks makes each allocation a pointer bump, packs them without
// per-block bookkeeping, and lets the whole tree go back in one step per
// chunk instead of one free per block.
#pragma once

#include <cstddef>

namespace kelvane::json {

class Arena {
 public:
  Arena() noexcept = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() { free_chunks(take_chunks()); }

  // `bytes` of uninitialised memory, 8-byte aligned, valid until the chunks
  // are freed. Throws std::bad_alloc when no memory is left.
  void* allocate(std::size_t bytes) {
    bytes = (bytes + 7) & ~std::size_t{7};
    if (static_cast<std::size_t>(end_ - next_) < bytes) return allocate_slow(bytes);
    void* p = next_;
    next_ += bytes;
    return p;
  }

  // `bytes` of uninitialised memory with no alignment, for text. Taken from
  // the far end of the chunk so that aligned blocks stay aligned.
  char* allocate_text(std::size_t bytes) {
    if (static_cast<std::size_t>(end_ - next_) < bytes) {
      return static_cast<char*>(allocate_slow((bytes + 7) & ~std::size_t{7}));
    }
    end_ -= bytes;
    return end_;
  }

  // Hands every chunk over (the arena is empty afterwards); the result is
  // for free_chunks, and null when there were none.
  void* take_chunks() noexcept;
  static void free_chunks(void* chunks) noexcept;

 private:
  struct Chunk;
  void* allocate_slow(std::size_t bytes);

  Chunk* chunks_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::size_t next_chunk_size_ = 0;
};

}  // namespace kelvane::json
