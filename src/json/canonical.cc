// Writing the canonical compact form of a text as it is read: the visitor
// behind CompactText::read. Everything goes to the output at once; an
// object's members are only remembered (where each starts, and its key) so
// that, when the object closes, they can be put in key order if they are
// not in it already.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "json/arena.h"
#include "json/compact_text.h"
#include "json/key_order.h"
#include "json/number_text.h"
#include "json/output_cursor.h"
#include "json/shortest_decimal.h"
#include "json/walker.h"
#include "json/writer.h"
#include "support/memory.h"

namespace kelvane::json {

namespace {

using detail::KeyAction;
using detail::NumberToken;
using detail::Status;
using detail::StringToken;

class CanonicalWriter {
 public:
  explicit CanonicalWriter(detail::OutputCursor& out) noexcept : out_(out) {}

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
    write_string(token);
    return {};
  }

  Status open(bool object) {
    separate();
    open_[depth_++] = members_.size();
    out_.put(object ? '{' : '[');
    need_comma_ = false;
    return {};
  }

  Result<KeyAction, Error> key(const StringToken& token) {
    separate();
    // A key without escapes stays where it is in the input; one with escapes
    // is resolved in the scratch buffer, which the next string reuses.
    members_.push_back({token.plain ? token.text : keep(token.text), out_.size()});
    write_string(token);
    out_.put(':');
    need_comma_ = false;
    return KeyAction::Visit;
  }

  Status close(bool object) {
    const std::size_t base = open_[--depth_];
    if (object) {
      put_in_order(base);
      members_.resize(base);
      if (members_.empty()) Arena::free_chunks(keys_.take_chunks());  // no key kept there is wanted any more
    }
    out_.put(object ? '}' : ']');
    need_comma_ = true;
    return {};
  }

 private:
  // A member of an open object: its key, and where its text starts in the
  // output (at the key's quote; it ends before the next member's comma).
  struct Pending {
    std::string_view key;
    std::size_t start;
  };

  struct PendingKeys {
    std::span<const Pending> members;
    std::size_t size() const noexcept { return members.size(); }
    std::uint64_t prefix(std::size_t i) const noexcept { return detail::key_prefix(members[i].key); }
    bool less(std::size_t i, std::size_t j) const noexcept {
      return detail::bytes_less(members[i].key, members[j].key);
    }
  };

  // The comma before every value but the first of its container.
  void separate() {
    if (need_comma_) out_.put(',');
    need_comma_ = true;
  }

  std::string_view keep(std::string_view text) {
    char* p = keys_.allocate_text(text.size());
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    return {p, text.size()};
  }

  void write_string(const StringToken& token) {
    if (!token.plain) {
      detail::write_str(out_, token.text);
      return;
    }
    // Nothing in it needs an escape.
    const std::size_t n = token.text.size();
    char* p = out_.room(n + 2);
    p[0] = '"';
    std::memcpy(p + 1, token.text.data(), n);
    p[n + 1] = '"';
    out_.advance(n + 2);
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
    char* p = out_.room(kMaxDoubleText);
    Decimal digits{};
    if (token.exact && literal_is_shortest(token.significand, token.exponent, digits)) {
      out_.advance(layout_decimal(std::signbit(n.as_double()), digits, p));
    } else {
      out_.advance(double_text(n.as_double(), p));
    }
  }

  // The members of the object that closes here, from `base` on, in key
  // order with the last of a repeated key.
  void put_in_order(std::size_t base) {
    const std::span<const Pending> members(members_.data() + base, members_.size() - base);
    const PendingKeys keys{members};
    const std::size_t sorted = detail::ordered_prefix(keys);
    if (sorted == members.size()) return;
    ranks_.resize(members.size());
    const std::size_t kept = detail::order_keys(keys, std::span<detail::KeyRank>(ranks_), sorted);
    const std::size_t end = out_.size();
    reordered_.clear();
    for (std::size_t j = 0; j < kept; ++j) {
      const std::size_t i = ranks_[j].position;
      const std::size_t from = members[i].start;
      const std::size_t to = i + 1 < members.size() ? members[i + 1].start - 1 : end;
      if (j > 0) reordered_ += ',';
      reordered_.append(out_.data() + from, to - from);
    }
    std::memcpy(out_.data() + members[0].start, reordered_.data(), reordered_.size());
    out_.truncate(members[0].start + reordered_.size());
  }

  detail::OutputCursor& out_;
  bool need_comma_ = false;
  std::size_t open_[detail::kMaxOpen];  // for each open container: its first member on members_
  std::size_t depth_ = 0;
  std::vector<Pending> members_;  // of the open objects, innermost last
  Arena keys_;                    // the keys that had escapes
  std::vector<detail::KeyRank> ranks_;
  std::string reordered_;
};

}  // namespace

CompactText::CompactText(const Value& value) : text_(to_json(value)) {}

Result<CompactText, Error> CompactText::read(std::string_view text) {
  // The compact text is about as long as its source; room that is never
  // written to costs no memory.
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 64);
  prefer_huge_pages(out.data(), out.capacity());
  {
    detail::OutputCursor cursor(out);
    CanonicalWriter writer(cursor);
    if (Status s = detail::read_whole(text, writer); !s) return fail(std::move(s).error());
  }  // the cursor cuts the string to what was written
  return CompactText(std::move(out));
}

}  // namespace kelvane::json
