#include "sudo/shell_quote.h"

#include <algorithm>

#include "support/utf8.h"

namespace kelvane::sudo {
namespace {

bool needs_no_quotes(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

// Characters that a terminal shows as nothing, or that reorder the text
// around them: C1 controls, the soft hyphen, zero-width and joiner
// characters, line and paragraph separators, the bidirectional embeddings,
// overrides and isolates, the byte order mark, interlinear annotations and
// the tag characters.
bool is_hidden(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0xAD || c == 0x61C || c == 0x180E ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
         (c >= 0xE0000 && c <= 0xE007F);
}

void append_hex(std::string& out, unsigned long value, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
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
    if (length == 0 || c < 0x20 || c == 0x7F || is_hidden(c)) return true;
    pos += length;
  }
  return false;
}

void append_escaped(std::string& out, std::string_view word, std::size_t pos, std::size_t length,
                    char32_t c) {
  if (length == 0) {
    out += "\\x";
    append_hex(out, static_cast<unsigned char>(word[pos]), 2);
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
    append_hex(out, c, 2);
  } else if (is_hidden(c)) {
    out += c > 0xFFFF ? "\\U" : "\\u";
    append_hex(out, c, c > 0xFFFF ? 8 : 4);
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
