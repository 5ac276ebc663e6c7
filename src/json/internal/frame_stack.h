// The containers still open while a tree or a text is gone over, innermost
// on top: kept off the call stack, so that nesting costs memory rather than
// the call stack, with the first levels in place and any deeper ones on the
// heap. The walker (with the visitors that share its frames), the writer
// and the freeing of a tree each keep theirs in one.
#pragma once

#include <cstddef>
#include <vector>

namespace kelvane::json::detail {

// With Bounded, the caller never pushes more than kInline frames (the
// walker's nesting budget), and nothing is ever looked for on the heap.
enum class Depth : bool { Unbounded, Bounded };

template <class Frame, std::size_t kInline, Depth kDepth = Depth::Unbounded>
class FrameStack {
 public:
  bool empty() const noexcept { return depth_ == 0; }
  std::size_t depth() const noexcept { return depth_; }
  Frame& top() noexcept {
    return in_place() ? inline_[depth_ - 1] : spilled_[depth_ - 1 - kInline];
  }
  const Frame& top() const noexcept {
    return in_place() ? inline_[depth_ - 1] : spilled_[depth_ - 1 - kInline];
  }
  // Past the levels in place, may throw std::bad_alloc like the vector.
  void push(const Frame& f) {
    if (kDepth == Depth::Bounded || depth_ < kInline) {
      inline_[depth_] = f;
    } else {
      spilled_.push_back(f);
    }
    ++depth_;
  }
  void pop() noexcept {
    if (!in_place()) spilled_.pop_back();
    --depth_;
  }

 private:
  bool in_place() const noexcept { return kDepth == Depth::Bounded || depth_ <= kInline; }

  Frame inline_[kInline];
  std::vector<Frame> spilled_;
  std::size_t depth_ = 0;
};

}  // namespace kelvane::json::detail
