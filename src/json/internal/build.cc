// Building a document: the visitor that turns what the walker reads into a
// Value tree.
//
// The elements (members) of the open containers are gathered on two shared
// stacks, innermost on top; a finished container moves its own into one
// block of exactly their number, taken from the reader's arena, and takes
// their place on its parent's stack, or in its member's slot. Scalars,
// strings and keys are set in their slot where it stands: a value built in
// a temporary and then moved would be read back before its byte-wise stores
// had settled, which stalls the processor once per value.
#include <span>
#include <utility>
#include <vector>

#include "json/internal/arena.h"
#include "json/internal/value_internals.h"
#include "json/internal/walker.h"
#include "json/json.h"

namespace kelvane::json {

namespace {

using detail::KeyAction;
using detail::NumberToken;
using detail::Status;
using detail::StringToken;

class Builder {
 public:
  explicit Builder(Value& root) noexcept : root_(root) {}

  Status null_value() {
    slot();  // left null
    return {};
  }
  Status boolean(bool value) {
    slot().set_boolean(value);
    return {};
  }
  Status number(const NumberToken& token) {
    slot().set_number(token.value);
    return {};
  }
  Status string(const StringToken& token) {
    ValueInternals::set_string(slot(), token.text, arena_);
    return {};
  }

  // The mark: where the container's elements or members start on their
  // stack.
  Status open(bool object, std::size_t& mark) {
    mark = object ? members_.size() : elements_.size();
    return {};
  }

  Result<KeyAction, Error> key(const StringToken& token) {
    ValueInternals::set_string(members_.emplace_back().key, token.text, arena_);
    return KeyAction::Visit;
  }

  // Its members gone from their stack, the last member there is again the
  // one whose value an inner container is.
  Status close(bool object, std::size_t base) {
    const bool outermost = open_.empty();
    Value& target = outermost ? root_ : built_;
    if (object) {
      ValueInternals::set_object(target, std::span<Member>(members_).subspan(base), arena_,
                                 outermost);
      members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(base), members_.end());
    } else {
      ValueInternals::set_array(target, std::span<Value>(elements_).subspan(base), arena_,
                                outermost);
      elements_.erase(elements_.begin() + static_cast<std::ptrdiff_t>(base), elements_.end());
    }
    if (outermost) return {};
    if (open_.top().object) {
      members_.back().value = std::move(built_);
    } else {
      elements_.push_back(std::move(built_));
    }
    return {};
  }

  detail::OpenFrames& frames() noexcept { return open_; }

  // Makes the root the owner of the memory of its tree.
  void adopt() { root_ = ValueInternals::adopt(std::move(root_), arena_); }

 private:
  // Where the value being read goes: its member's value, a new element, or
  // the root.
  Value& slot() {
    if (open_.empty()) return root_;
    if (open_.top().object) return members_.back().value;
    return elements_.emplace_back();
  }

  Value& root_;
  Arena arena_;
  detail::OpenFrames open_;  // the walker's, shared
  Value built_;              // a finished inner container on its way to its parent
  // The elements and members of the open containers; they own nothing until
  // they are moved into their container's block.
  std::vector<Value> elements_;
  std::vector<Member> members_;
};

}  // namespace

namespace detail {

Status build_value(Input& in, Value& out) {
  std::string scratch;
  Builder builder(out);
  if (Status s = walk<Mode::Read>(in, scratch, builder); !s) {
    out = Value();  // its blocks go with the builder's arena
    return s;
  }
  builder.adopt();
  return {};
}

}  // namespace detail

// The value is read straight into the result, which is returned in place: a
// number read from a short text is never copied.
Result<Value, Error> parse_value(std::string_view text) {
  Result<Value, Error> result{Value()};
  Builder builder(result.value());
  if (Status s = detail::read_whole(text, builder); !s) {
    result = fail(std::move(s).error());
  } else {
    builder.adopt();  // before the builder and its memory go
  }
  return result;
}

}  // namespace kelvane::json
