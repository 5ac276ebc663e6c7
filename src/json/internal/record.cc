// Filling a record: the visitor that takes the fields of a fixed list from
// one object (any key order) or one array (one element per field, in
// declaration order). Text and number fields are visited as the walker
// reads them; a field of any value is handed over whole (Take) and read by
// its own walk, so that it has its own nesting budget and its errors are
// positioned within it.
//
// Taking one object or array apart (split_object, split_array) is a record
// of this kind too: one whose every value is handed over, skipped, and kept
// as its text.
#include "json/json.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "json/internal/number_text.h"
#include "json/internal/walker.h"
#include "support/visible_text.h"

namespace kelvane::json {

namespace detail {

// Skipping one value: the member of a record that the record does not have.
// Nothing is built and nothing is visited; the walker checks the grammar,
// without a nesting limit (its stack of open brackets is on the heap, so a
// reply line nested millions deep costs memory, not the call stack).
namespace {

// The Skip mode calls no visitor.
struct Nothing {};

}  // namespace

Status skip_value(Input& in) {
  std::string unused;  // strings are only checked
  Nothing nothing;
  return walk<Mode::Skip>(in, unused, nothing);
}

// Describing a value that stands where another kind was expected, for the
// "invalid type: {}, expected {}" error of records. Used as a visitor: every
// callback fails with the description of what it was given. A scalar has
// been read by then (the error's position is after it); an array or object
// is named by its opening bracket alone, which is not consumed.
class Unexpected {
 public:
  explicit Unexpected(std::string_view expected) noexcept : expected_(expected) {}

  Status null_value() const;
  Status boolean(bool value) const;
  Status number(const NumberToken& token) const;
  Status string(const StringToken& token) const;
  Status open(bool object) const;

 private:
  Status invalid_type(std::string_view found) const;

  std::string_view expected_;
};

Status Unexpected::invalid_type(std::string_view found) const {
  std::string message = "invalid type: ";
  message.append(found).append(", expected ").append(expected_);
  return fail(Error::message(std::move(message)));
}

Status Unexpected::null_value() const {
  return invalid_type("null");
}

Status Unexpected::boolean(bool value) const {
  return invalid_type(value ? "boolean `true`" : "boolean `false`");
}

Status Unexpected::number(const NumberToken& token) const {
  const Number n = token.value;
  char digits[kMaxDoubleText > kMaxIntegerText ? kMaxDoubleText : kMaxIntegerText];
  std::string found;
  switch (n.kind()) {
    case Number::Kind::Unsigned64:
      found.append("integer `").append(digits, unsigned_text(n.as_unsigned64(), digits));
      break;
    case Number::Kind::Negative64:
      found.append("integer `").append(digits, negative_text(n.as_negative64(), digits));
      break;
    case Number::Kind::Double:
      found.append("floating point `").append(digits, double_text(n.as_double(), digits));
      break;
  }
  found += '`';
  return invalid_type(found);
}

Status Unexpected::string(const StringToken& token) const {
  std::string found = "string ";
  visible::append_quoted(found, token.text);
  return invalid_type(found);
}

Status Unexpected::open(bool object) const {
  return invalid_type(object ? "map" : "sequence");
}

}  // namespace detail

namespace {

using detail::Element;
using detail::Input;
using detail::KeyAction;
using detail::NumberToken;
using detail::Status;
using detail::StringToken;

constexpr std::size_t kNoField = static_cast<std::size_t>(-1);
constexpr std::size_t kMaxFields = 64;

Error field_error(std::string_view what, std::string_view name) {
  std::string text(what);
  text.append(" `").append(name) += '`';
  return Error::message(std::move(text));
}

Error invalid_length(std::size_t count, std::string_view expected) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, count);
  std::string text = "invalid length ";
  text.append(digits, end);
  text += ", expected ";
  text += expected;
  return Error::message(std::move(text));
}

bool is_any(Field::Kind kind) noexcept {
  return kind == Field::Kind::AnyValue || kind == Field::Kind::AnyCompact;
}

std::optional<std::string>& optional_text(const Field& field) noexcept {
  return *static_cast<std::optional<std::string>*>(field.destination());
}

class RecordFiller {
 public:
  RecordFiller(Input& in, const RecordShape& shape) noexcept : in_(in), shape_(shape) {}

  RecordProblem problem() const noexcept { return problem_; }
  std::string& member() noexcept { return member_; }

  // The record itself is the one array or object at the top; inside it only
  // the values of text and number fields are visited, and they are scalars.
  Status open(bool object, std::size_t&) {
    if (inside_) return wrong_type(field_now()).open(object);
    if (!object && shape_.length_description.empty()) return not_a_record().open(object);
    inside_ = true;
    object_form_ = object;
    return {};
  }

  Status close(bool, std::size_t) {
    if (!object_form_) {
      if (count_ < shape_.fields.size()) {
        problem_ = RecordProblem::Length;
        return fail(invalid_length(count_, shape_.length_description));
      }
      return {};
    }
    for (std::size_t i = 0; i < shape_.fields.size(); ++i) {
      const Field& field = shape_.fields[i];
      if (!given(i) && field.presence() == Presence::Required) {
        problem_ = RecordProblem::MissingMember;
        member_ = field.name();
        return fail(field_error("missing field", field.name()));
      }
    }
    return {};
  }

  Result<KeyAction, Error> key(const StringToken& token) {
    field_ = find_field(token.text);
    if (field_ == kNoField) {
      if (shape_.unknown == UnknownMembers::Skip) return KeyAction::Skip;
      problem_ = RecordProblem::UnknownMember;
      member_ = token.text;
      return fail(field_error("unknown field", token.text));
    }
    if (given(field_)) {
      // A record error takes its position from where the end check of the
      // record stops.
      problem_ = RecordProblem::DuplicateMember;
      member_ = shape_.fields[field_].name();
      Error e = field_error("duplicate field", member_);
      (void)detail::end_map(in_);
      in_.fix_position(e);
      return fail(std::move(e));
    }
    return is_any(shape_.fields[field_].kind()) ? KeyAction::Take : KeyAction::Visit;
  }

  // After the last field of the array form no further element is looked for.
  Element next_element() const noexcept {
    if (count_ == shape_.fields.size()) return Element::End;
    return is_any(shape_.fields[count_].kind()) ? Element::Take : Element::Visit;
  }

  // A field of any value, read on its own from its first byte: its nesting
  // budget and its error positions are its own.
  Status take(Input& in) {
    const Field& field = take_field();
    in.skip_whitespace();
    const std::size_t start = in.index();
    Input value(std::string_view(in.data() + start, in.size() - start));
    Status s = read_any(value, field);
    in.set_index(start + value.index());
    if (!s) {
      problem_ = RecordProblem::BadValue;
      member_ = field.name();
    }
    return s;
  }

  Status string(const StringToken& token) {
    if (!inside_) return not_a_record().string(token);
    const Field& field = take_field();
    switch (field.kind()) {
      case Field::Kind::Text:
        static_cast<std::string*>(field.destination())->assign(token.text);
        return {};
      case Field::Kind::OptionalText:
      case Field::Kind::TextOrNull:
        optional_text(field).emplace(token.text);
        return {};
      default:
        return wrong_type(field).string(token);
    }
  }

  Status null_value() {
    if (!inside_) return not_a_record().null_value();
    const Field& field = take_field();
    if (field.kind() != Field::Kind::TextOrNull) return wrong_type(field).null_value();
    optional_text(field).reset();
    return {};
  }

  Status boolean(bool value) {
    if (!inside_) return not_a_record().boolean(value);
    return wrong_type(take_field()).boolean(value);
  }

  Status number(const NumberToken& token) {
    if (!inside_) return not_a_record().number(token);
    const Field& field = take_field();
    if (field.kind() != Field::Kind::Unsigned64 || token.value.kind() != Number::Kind::Unsigned64) {
      return wrong_type(field).number(token);
    }
    *static_cast<std::optional<std::uint64_t>*>(field.destination()) = token.value.as_unsigned64();
    return {};
  }

 private:
  static Status read_any(Input& value, const Field& field) {
    if (field.kind() == Field::Kind::AnyValue) {
      auto& to = *static_cast<std::optional<Value>*>(field.destination());
      Status s = detail::build_value(value, to.emplace());
      if (!s) to.reset();
      return s;
    }
    Result<CompactText, Error> compact = detail::read_compact_value(value);
    if (!compact) return fail(std::move(compact).error());
    static_cast<std::optional<CompactText>*>(field.destination())
        ->emplace(std::move(compact).value());
    return {};
  }

  detail::Unexpected not_a_record() noexcept {
    problem_ = RecordProblem::NotARecord;
    return detail::Unexpected(shape_.type_description);
  }

  // The field's value is of another kind: an Unexpected that names it.
  detail::Unexpected wrong_type(const Field& field) {
    problem_ = RecordProblem::WrongType;
    member_ = field.name();
    return detail::Unexpected(field.kind() == Field::Kind::Unsigned64
                                  ? "an integer from 0 to 18446744073709551615"
                                  : "a string");
  }

  std::size_t find_field(std::string_view key) const noexcept {
    for (std::size_t i = 0; i < shape_.fields.size(); ++i) {
      if (shape_.fields[i].name() == key) return i;
    }
    return kNoField;
  }

  bool given(std::size_t i) const noexcept { return (given_ & (std::uint64_t{1} << i)) != 0; }

  // The field whose value is about to be visited.
  const Field& field_now() const noexcept { return shape_.fields[object_form_ ? field_ : count_]; }

  // The same, now given (null included).
  const Field& take_field() noexcept {
    const std::size_t i = object_form_ ? field_ : count_++;
    given_ |= std::uint64_t{1} << i;
    return shape_.fields[i];
  }

  Input& in_;
  const RecordShape& shape_;
  bool inside_ = false;
  bool object_form_ = false;
  std::size_t field_ = kNoField;  // object form: the field of the last key
  std::size_t count_ = 0;         // array form: the fields read
  std::uint64_t given_ = 0;       // bit i: field i had a value
  RecordProblem problem_ = RecordProblem::Syntax;
  std::string member_;
};

// The visitor of split_object and split_array: the one object or array at
// the top is walked, and every member's or element's value in it is taken
// whole and skipped (grammar checked, no nesting limit), its text kept.
class Splitter {
 public:
  Splitter(std::string_view text, bool object) noexcept : text_(text), object_(object) {}

  std::vector<MemberText>& members() noexcept { return members_; }
  std::vector<std::string_view>& elements() noexcept { return elements_; }

  Status open(bool object, std::size_t&) const {
    if (object != object_) return unexpected().open(object);
    return {};
  }
  Status close(bool, std::size_t) const noexcept { return {}; }

  Result<KeyAction, Error> key(const StringToken& token) {
    members_.push_back({std::string(token.text), {}});
    return KeyAction::Take;
  }
  Element next_element() const noexcept { return Element::Take; }

  Status take(Input& in) {
    in.skip_whitespace();
    const std::size_t start = in.index();
    if (Status s = detail::skip_value(in); !s) return s;
    const std::string_view value = text_.substr(start, in.index() - start);
    if (object_) {
      members_.back().value = value;
    } else {
      elements_.push_back(value);
    }
    return {};
  }

  // Every value inside is taken, so a scalar can only be the whole text.
  Status null_value() const { return unexpected().null_value(); }
  Status boolean(bool value) const { return unexpected().boolean(value); }
  Status number(const NumberToken& token) const { return unexpected().number(token); }
  Status string(const StringToken& token) const { return unexpected().string(token); }

 private:
  detail::Unexpected unexpected() const noexcept {
    return detail::Unexpected(object_ ? "an object" : "an array");
  }

  std::string_view text_;
  bool object_;
  std::vector<MemberText> members_;
  std::vector<std::string_view> elements_;
};

}  // namespace

Result<std::vector<MemberText>, Error> split_object(std::string_view text) {
  Splitter splitter(text, true);
  if (Status s = detail::read_whole(text, splitter); !s) return fail(std::move(s).error());
  return std::move(splitter.members());
}

Result<std::vector<std::string_view>, Error> split_array(std::string_view text) {
  Splitter splitter(text, false);
  if (Status s = detail::read_whole(text, splitter); !s) return fail(std::move(s).error());
  return std::move(splitter.elements());
}

Result<void, RecordError> read_record(std::string_view text, const RecordShape& shape) {
  // One bit per field; a longer list is a fault of the program, not of the
  // text.
  if (shape.fields.size() > kMaxFields) std::abort();
  Input in(text);
  std::string scratch;
  RecordFiller filler(in, shape);
  Status s = detail::walk<detail::Mode::Read>(in, scratch, filler);
  if (s) s = detail::end_of_text(in);
  if (!s) {
    return fail(RecordError{filler.problem(), std::move(s).error(), std::move(filler.member()),
                            in.index()});
  }
  return {};
}

}  // namespace kelvane::json
