// Strings: scanning for the end, resolving escapes, and checking them
// without building anything when a value is skipped.
#include <bit>
#include <cstring>

#include "json/deserializer.h"

static_assert(std::endian::native == std::endian::little, "the word scan reads bytes in little-endian order");

namespace kelvane::json::detail {

namespace {

bool ends_plain_run(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20; }

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

// Moves the index to the next quote, backslash or control byte (or the end),
// eight bytes at a time. For each byte the three tests set its top bit when
// it matches; a borrow can only mark bytes after a true match, so the lowest
// marked byte is the first match.
void Deserializer::skip_to_escape() noexcept {
  if (index_ == size_ || ends_plain_run(static_cast<unsigned char>(data_[index_]))) return;
  ++index_;
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighBits = kOnes << 7;
  while (size_ - index_ >= 8) {
    std::uint64_t chars;
    std::memcpy(&chars, data_ + index_, 8);
    const std::uint64_t control = (chars - kOnes * 0x20) & ~chars;
    const std::uint64_t quote_bits = chars ^ (kOnes * '"');
    const std::uint64_t quote = (quote_bits - kOnes) & ~quote_bits;
    const std::uint64_t backslash_bits = chars ^ (kOnes * '\\');
    const std::uint64_t backslash = (backslash_bits - kOnes) & ~backslash_bits;
    const std::uint64_t found = (control | quote | backslash) & kHighBits;
    if (found != 0) {
      index_ += static_cast<std::size_t>(std::countr_zero(found)) / 8;
      return;
    }
    index_ += 8;
  }
  while (index_ < size_ && !ends_plain_run(static_cast<unsigned char>(data_[index_]))) ++index_;
}

Result<std::string_view, Error> Deserializer::parse_str() {
  scratch_.clear();
  bool assembled = false;  // an escape was met: the text is in the scratch
  std::size_t start = index_;
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
