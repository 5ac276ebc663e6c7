#include "sudo/shell_quote.h"

#include <algorithm>

#include "support/hex.h"
#include "support/utf8.h"
#include "support/visible_text.h"

namespace kelvane::sudo {
namespace {

bool needs_no_quotes(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

// Decodes the character at `pos`; `length` 0 marks a byte that starts no
// well-formed sequence (decode() reads it as U+FFFD of one byte, which a real
// U+FFFD, three bytes long, never is).
char32_t next_character(std::string_view word, std::size_t pos, std::size_t& length) {
  const char32_t c = utf8::decode(word, pos, length);
  if (c == 0xFFFD && length == 1) length = 0;
  return c;
}

bool needs_escapes(std::string_view word) {
  for (std::size_t pos = 0; pos < word.size();) {
    std::size_t length = 0;
    const char32_t c = next_character(word, pos, length);
    // The screen's own rule (support/visible_text.h): besides controls and
    // what hides text or reorders it, a combining mark or a variation
    // selector, which would attach to the character before it (a quote
    // included) or sit unseen inside a word.
    if (length == 0 || visible::needs_escape(c)) return true;
    pos += length;
  }
  return false;
}

void append_escaped(std::string& out, std::string_view word, std::size_t pos, std::size_t length,
                    char32_t c) {
  if (length == 0) {
    out += "\\x";
    hex::append_digits(out, static_cast<unsigned char>(word[pos]), 2);
  } else if (c == '\n') {
    out += "\\n";
  } else if (c == '\t') {
    out += "\\t";
  } else if (c == '\r') {
    out += "\\r";
  } else if (c == '\\' || c == '\'') {
    out += '\\';
    out += static_cast<char>(c);
  } else if (c < 0x20 || c == 0x7F) {
    out += "\\x";
    hex::append_digits(out, c, 2);
  } else if (visible::needs_escape(c)) {
    out += c > 0xFFFF ? "\\U" : "\\u";
    hex::append_digits(out, c, c > 0xFFFF ? 8 : 4);
  } else {
    out.append(word.substr(pos, length));
  }
}

std::string ansi_c_quoted(std::string_view word) {
  std::string out = "$'";
  for (std::size_t pos = 0; pos < word.size();) {
    std::size_t length = 0;
    const char32_t c = next_character(word, pos, length);
    append_escaped(out, word, pos, length, c);
    pos += length == 0 ? 1 : length;
  }
  out += '\'';
  return out;
}

std::string single_quoted(std::string_view word) {
  std::string out = "'";
  for (const char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

}  // namespace

std::string shell_quote(std::string_view word) {
  if (!word.empty() && std::all_of(word.begin(), word.end(), needs_no_quotes))
    return std::string(word);
  if (needs_escapes(word)) return ansi_c_quoted(word);
  return single_quoted(word);
}

std::string shell_join(std::span<const std::string> words) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i != 0) out += ' ';
    out += shell_quote(words[i]);
  }
  return out;
}

}  // namespace kelvane::sudo
