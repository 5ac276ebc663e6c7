// Writing the canonical compact form of a text as it is read: the visitor
// behind CompactText::read. Everything goes to the output at once; an
// object's members are only remembered (where each starts, and its key) so
// that, when the object closes, they can be put in key order if they are
// not in it already.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "json/internal/arena.h"
#include "json/internal/key_order.h"
#include "json/internal/number_text.h"
#include "json/internal/output_cursor.h"
#include "json/internal/shortest_decimal.h"
#include "json/internal/small_copy.h"
#include "json/internal/walker.h"
#include "json/json.h"
#include "support/memory.h"

namespace kelvane::json {

namespace {

using detail::KeyAction;
using detail::NumberToken;
using detail::Status;
using detail::StringToken;

// Where the compact text goes: a buffer of its own, or the text being read
// itself, written over behind the reader. The compact form of what has been
// read is never longer than it, but for the text of a double ("1E2" is
// written "100.0"), which the writer checks; if a double would reach bytes
// not read yet, the output moves to a buffer of its own first. It grows by
// the cursor's step (lengthen_for); unlike a cursor it may write over its
// source, and it is read back and cut to put members in order.
class Output {
 public:
  // Room for `expected` bytes; more if need be.
  explicit Output(std::size_t expected) {
    own_.reserve(expected);
    prefer_huge_pages(own_.data(), own_.capacity());
    data_ = own_.data();
  }
  explicit Output(std::string& text) noexcept
      : in_place_(&text), data_(text.data()), limit_(text.size()) {}

  std::size_t size() const noexcept { return size_; }
  const char* data() const noexcept { return data_; }
  char* data() noexcept { return data_; }
  void truncate(std::size_t size) noexcept { size_ = size; }

  // Exactly `n` bytes are written there next.
  [[gnu::always_inline]] char* room(std::size_t n) {
    if (limit_ - size_ < n) [[unlikely]]
      grow(n);
    return data_ + size_;
  }
  void advance(std::size_t n) noexcept { size_ += n; }
  [[gnu::always_inline]] void put(char c) {
    *room(1) = c;
    ++size_;
  }
  // `p` may lie in the text being read, ahead of the output.
  [[gnu::always_inline]] void put(const char* p, std::size_t n) {
    detail::move_bytes(room(n), p, n);
    size_ += n;
  }

  // Makes sure that `n` more bytes do not reach `unread`, a byte of the text
  // that has not been read yet.
  void keep_clear_of(const char* unread, std::size_t n) {
    if (in_place_ != nullptr && data_ + size_ + n > unread) spill(n);
  }

  std::string take() && {
    std::string& text = in_place_ != nullptr ? *in_place_ : own_;
    text.resize(size_);  // only ever shorter: nothing is filled
    return std::move(text);
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    if (in_place_ != nullptr) {
      spill(n);
      return;
    }
    detail::lengthen_for(own_, size_, n);
    data_ = own_.data();
    limit_ = own_.size();
  }

  [[gnu::noinline]] void spill(std::size_t n) {
    const std::size_t rest = in_place_->size() > size_ ? in_place_->size() - size_ : 0;
    own_.reserve(size_ + rest + rest / 16 + n + 64);
    prefer_huge_pages(own_.data(), own_.capacity());
    own_.assign(data_, size_);
    in_place_ = nullptr;
    data_ = own_.data();
    limit_ = own_.size();
    grow(n);
  }

  std::string own_;
  std::string* in_place_ = nullptr;
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t limit_ = 0;
};

class CanonicalWriter {
 public:
  // String values come already in the form they are written in.
  using ValueText = detail::EscapedText;

  explicit CanonicalWriter(Output& out) noexcept : out_(out) {}

  Status null_value() {
    separate();
    out_.put("null", 4);
    return {};
  }
  Status boolean(bool value) {
    separate();
    if (value) {
      out_.put("true", 4);
    } else {
      out_.put("false", 5);
    }
    return {};
  }
  Status number(const NumberToken& token) {
    separate();
    write_number(token);
    return {};
  }
  Status string(const StringToken& token) {
    separate();
    write_quoted(token.text);
    return {};
  }

  // The mark: where the container's members start on members_.
  Status open(bool object, std::size_t& mark) {
    separate();
    mark = members_.size();
    out_.put(object ? '{' : '[');
    pending_ = 0;
    return {};
  }

  // The colon is written with the value, once the reader is past it.
  Result<KeyAction, Error> key(const StringToken& token) {
    separate();
    Pending m{out_.size(), detail::key_prefix(token.text), nullptr, token.text.size()};
    if (token.plain) {
      write_quoted(token.text);  // the key stays readable there
    } else {
      m.escaped = keep(token.text);
      write_escaped(token.text);
    }
    members_.push_back(m);
    pending_ = ':';
    return KeyAction::Visit;
  }

  Status close(bool object, std::size_t base) {
    if (object) {
      put_in_order(base);
      members_.resize(base);
      if (members_.empty())
        Arena::free_chunks(keys_.take_chunks());  // no key kept there is wanted any more
    }
    out_.put(object ? '}' : ']');
    pending_ = ',';
    return {};
  }

 private:
  // A member of an open object: where its text starts in the output (at the
  // key's quote; it ends before the next member's comma), and its key. A key
  // without escapes is read where it was written; one with escapes is kept
  // aside, as the reader's scratch is reused for the next string.
  struct Pending {
    std::size_t start;
    std::uint64_t prefix;
    const char* escaped;
    std::size_t key_size;
  };

  struct PendingKeys {
    std::span<const Pending> members;
    const char* out;
    std::size_t size() const noexcept { return members.size(); }
    std::uint64_t prefix(std::size_t i) const noexcept { return members[i].prefix; }
    std::string_view key(std::size_t i) const noexcept {
      const Pending& m = members[i];
      return {m.escaped != nullptr ? m.escaped : out + m.start + 1, m.key_size};
    }
    bool less(std::size_t i, std::size_t j) const noexcept {
      return detail::bytes_less(key(i), key(j));
    }
  };

  // The comma before every value but the first of its container, or the
  // colon after a key.
  void separate() {
    if (pending_ != 0) out_.put(pending_);
    pending_ = ',';
  }

  const char* keep(std::string_view text) {
    char* p = keys_.allocate_text(text.size());
    std::memcpy(p, text.data(), text.size());
    return p;
  }

  // Text that needs no escape (as it stands in the input, or as the lexer
  // escaped it), between quotes.
  [[gnu::always_inline]] void write_quoted(std::string_view text) {
    const std::size_t n = text.size();
    char* p = out_.room(n + 2);
    p[0] = '"';
    detail::move_bytes(p + 1, text.data(), n);
    p[n + 1] = '"';
    out_.advance(n + 2);
  }

  // A key with escapes, from its decoded text.
  void write_escaped(std::string_view text) {
    escaped_.clear();
    detail::EscapedText escaped(escaped_);
    for (const char c : text) escaped.byte(c);
    write_quoted(escaped.text());
  }

  // An integer's literal is already its text (digits without leading zeros,
  // a minus sign for a negative one). A double from a short literal may
  // carry its shortest digits with it; any other is converted.
  void write_number(const NumberToken& token) {
    const Number n = token.value;
    if (n.kind() != Number::Kind::Double) {
      out_.put(token.text.data(), token.text.size());
      return;
    }
    char text[kMaxDoubleText];
    Decimal digits{};
    const std::size_t length =
        token.exact && literal_is_shortest(token.significand, token.exponent, digits)
            ? layout_decimal(std::signbit(n.as_double()), digits, text)
            : double_text(n.as_double(), text);
    out_.keep_clear_of(token.text.data() + token.text.size(), length);
    detail::move_up_to_32(out_.room(length), text, length);
    out_.advance(length);
  }

  // The members of the object that closes here, from `base` on, in key
  // order with the last of a repeated key.
  void put_in_order(std::size_t base) {
    const std::span<const Pending> members(members_.data() + base, members_.size() - base);
    const PendingKeys keys{members, out_.data()};
    const std::size_t sorted = detail::ordered_prefix(keys);
    if (sorted == members.size()) return;
    ranks_.resize(members.size());
    const std::size_t kept = detail::order_keys(keys, std::span<detail::KeyRank>(ranks_), sorted);
    // The object's members go aside whole and come back one by one.
    const std::size_t first = members[0].start;
    const std::size_t end = out_.size();
    reordered_.assign(out_.data() + first, end - first);
    out_.truncate(first);
    for (std::size_t j = 0; j < kept; ++j) {
      const std::size_t i = ranks_[j].position;
      const std::size_t from = members[i].start - first;
      const std::size_t to = (i + 1 < members.size() ? members[i + 1].start - 1 : end) - first;
      if (j > 0) out_.put(',');
      out_.put(reordered_.data() + from, to - from);
    }
  }

  Output& out_;
  char pending_ = 0;              // the separator owed before the next value or key
  std::vector<Pending> members_;  // of the open objects, innermost last
  Arena keys_;                    // the keys that had escapes
  std::vector<detail::KeyRank> ranks_;
  std::string reordered_;
  std::string escaped_;
};

Result<std::string, Error> write_canonical(std::string_view text, Output& out) {
  CanonicalWriter writer(out);
  if (Status s = detail::read_whole(text, writer); !s) return fail(std::move(s).error());
  return std::move(out).take();
}

}  // namespace

namespace detail {

Result<CompactText, Error> read_compact_value(Input& in) {
  const std::size_t rest = in.size() - in.index();
  Output out(rest < 4096 ? rest + 64 : 4096);
  CanonicalWriter writer(out);
  std::string scratch;
  if (Status s = walk<Mode::Read>(in, scratch, writer); !s) return fail(std::move(s).error());
  return CompactText(std::move(out).take());
}

}  // namespace detail

CompactText::CompactText(const Value& value) : text_(to_json(value)) {}

// The compact text is about as long as its source; room that is never
// written to costs no memory.
Result<CompactText, Error> CompactText::read(std::string_view text) {
  Output out(text.size() + text.size() / 16 + 64);
  Result<std::string, Error> compact = write_canonical(text, out);
  if (!compact) return fail(std::move(compact).error());
  return CompactText(std::move(compact).value());
}

// Writing over the text saves touching as much memory again. Positions of
// errors are worked out from the bytes before them, which are gone by then,
// so only a text without line feeds (all on line 1) is written over.
Result<CompactText, Error> CompactText::read_in_place(std::string&& buffer, std::size_t start) {
  const std::string_view text = std::string_view(buffer).substr(start);
  if (text.find('\n') != std::string_view::npos) return read(text);
  Output out(buffer);
  Result<std::string, Error> compact = write_canonical(text, out);
  if (!compact) return fail(std::move(compact).error());
  return CompactText(std::move(compact).value());
}

}  // namespace kelvane::json
