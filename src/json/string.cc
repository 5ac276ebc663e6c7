// Strings: scanning for the end, resolving escapes, and checking them
// without building anything when a value is skipped.
#include "json/deserializer.h"
#include "json/plain_run.h"

namespace kelvane::json::detail {

namespace {

void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// Moves the index to the next quote, backslash or control byte (or the end).
void Deserializer::skip_to_escape() noexcept {
  if (index_ == size_ || ends_plain_run(static_cast<unsigned char>(data_[index_]))) return;
  ++index_;
  index_ += plain_run(data_ + index_, size_ - index_);
}

bool Deserializer::parse_plain_str(std::string_view& out) noexcept {
  const std::size_t start = index_;
  index_ += short_plain_run(data_ + index_, size_ - index_);
  if (index_ == size_ || data_[index_] != '"') return false;
  out = std::string_view(data_ + start, index_ - start);
  ++index_;
  return true;
}

Result<std::string_view, Error> Deserializer::parse_str() { return parse_str_from(index_); }

Result<std::string_view, Error> Deserializer::parse_str_from(std::size_t start) {
  scratch_.clear();
  bool assembled = false;  // an escape was met: the text is in the scratch
  for (;;) {
    skip_to_escape();
    if (index_ == size_) return fail(error(ErrorCode::EofWhileParsingString));
    const char c = data_[index_];
    if (c == '"') {
      const std::string_view run(data_ + start, index_ - start);
      ++index_;
      if (!assembled) return run;
      scratch_.append(run);
      return std::string_view(scratch_);
    }
    if (c == '\\') {
      scratch_.append(data_ + start, index_ - start);
      assembled = true;
      ++index_;
      if (Status s = parse_escape(); !s) return fail(std::move(s).error());
      start = index_;
      continue;
    }
    ++index_;
    return fail(error(ErrorCode::ControlCharacterWhileParsingString));
  }
}

Status Deserializer::parse_escape() {
  if (index_ == size_) return fail(error(ErrorCode::EofWhileParsingString));
  switch (data_[index_++]) {
    case '"':
      scratch_ += '"';
      break;
    case '\\':
      scratch_ += '\\';
      break;
    case '/':
      scratch_ += '/';
      break;
    case 'b':
      scratch_ += '\b';
      break;
    case 'f':
      scratch_ += '\f';
      break;
    case 'n':
      scratch_ += '\n';
      break;
    case 'r':
      scratch_ += '\r';
      break;
    case 't':
      scratch_ += '\t';
      break;
    case 'u':
      return parse_unicode_escape();
    default:
      return fail(error(ErrorCode::InvalidEscape));
  }
  return {};
}

Result<std::uint16_t, Error> Deserializer::decode_hex_escape() {
  if (size_ - index_ < 4) {
    index_ = size_;
    return fail(error(ErrorCode::EofWhileParsingString));
  }
  const char* digits = data_ + index_;
  index_ += 4;
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hex_value(digits[i]);
    if (d < 0) return fail(error(ErrorCode::InvalidEscape));
    value = value * 16 + static_cast<unsigned>(d);
  }
  return static_cast<std::uint16_t>(value);
}

// After "\u". A surrogate must come as a leading half immediately followed
// by an escaped trailing half, so the text is always valid UTF-8.
Status Deserializer::parse_unicode_escape() {
  Result<std::uint16_t, Error> first = decode_hex_escape();
  if (!first) return fail(std::move(first).error());
  const std::uint32_t c1 = first.value();
  if (c1 >= 0xDC00 && c1 <= 0xDFFF) return fail(error(ErrorCode::LoneLeadingSurrogateInHexEscape));
  if (c1 < 0xD800 || c1 > 0xDBFF) {
    append_utf8(scratch_, c1);
    return {};
  }
  for (const char expected : {'\\', 'u'}) {
    if (index_ == size_) return fail(error(ErrorCode::EofWhileParsingString));
    if (data_[index_++] != expected) return fail(error(ErrorCode::UnexpectedEndOfHexEscape));
  }
  Result<std::uint16_t, Error> second = decode_hex_escape();
  if (!second) return fail(std::move(second).error());
  const std::uint32_t c2 = second.value();
  if (c2 < 0xDC00 || c2 > 0xDFFF) return fail(error(ErrorCode::LoneLeadingSurrogateInHexEscape));
  append_utf8(scratch_, 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00));
  return {};
}

// A control byte is reported before it is consumed here, unlike in
// parse_str: the column is one less.
Status Deserializer::ignore_str() {
  for (;;) {
    skip_to_escape();
    if (index_ == size_) return fail(error(ErrorCode::EofWhileParsingString));
    const char c = data_[index_];
    if (c == '"') {
      ++index_;
      return {};
    }
    if (c != '\\') return fail(error(ErrorCode::ControlCharacterWhileParsingString));
    ++index_;
    if (Status s = ignore_escape(); !s) return s;
  }
}

// Surrogates are not paired or tested here: four hex digits suffice.
Status Deserializer::ignore_escape() {
  if (index_ == size_) return fail(error(ErrorCode::EofWhileParsingString));
  switch (data_[index_++]) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return {};
    case 'u': {
      Result<std::uint16_t, Error> code = decode_hex_escape();
      if (!code) return fail(std::move(code).error());
      return {};
    }
    default:
      return fail(error(ErrorCode::InvalidEscape));
  }
}

}  // namespace kelvane::json::detail
