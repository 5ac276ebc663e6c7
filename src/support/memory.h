// Help for buffers of tens or hundreds of megabytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvane {

// Asks for huge pages under a buffer that is about to be filled: a large
// buffer is otherwise touched one small page at a time, and each first touch
// is a page fault. Small buffers are left alone.
void prefer_huge_pages(void* data, std::size_t size) noexcept;

// A growable byte buffer that grows in place where it can (realloc moves a
// large block by remapping its pages, not by copying them), so that its
// peak memory stays close to its size. Runs out of memory with
// std::bad_alloc.
class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  const char* data() const noexcept { return data_; }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::string_view view() const noexcept { return {data_, size_}; }

  void append(const char* bytes, std::size_t n) {
    if (capacity_ - size_ < n) grow(size_ + n);
    if (n != 0) __builtin_memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  // Only shortens.
  void resize(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }
  void clear() noexcept { size_ = 0; }

 private:
  void grow(std::size_t needed);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace kelvane
