#include "service/glob.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kelvane::service {
namespace {

// The length of the UTF-8 character starting with `lead` (1 for a stray
// continuation or a byte that cannot start one).
std::size_t char_length(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The character at `at`: its code point and its length (never past the end).
struct Char {
  std::uint32_t code = 0;
  std::size_t length = 1;
};

Char char_at(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = char_length(lead);
  if (at + length > text.size()) length = 1;
  if (length == 1) return {lead, 1};
  std::uint32_t code = lead & (0x7Fu >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return {lead, 1};
    code = (code << 6) | (next & 0x3Fu);
  }
  return {code, length};
}

// One item of a glob: where it starts and ends in the glob's text.
enum class Kind { Literal, One, Class, Star, DoubleStar };

struct Item {
  Kind kind = Kind::Literal;
  std::size_t begin = 0;  // Literal: the character; Class: after "["
  std::size_t end = 0;    // one past the item
};

// The end of a class starting after its "[" at `at`, or npos if unclosed.
std::size_t class_end(std::string_view glob, std::size_t at) {
  std::size_t i = at;
  if (i < glob.size() && (glob[i] == '!' || glob[i] == '^')) ++i;
  if (i < glob.size() && glob[i] == ']') ++i;  // a "]" first is itself
  for (; i < glob.size(); ++i) {
    if (glob[i] == '\\') {
      ++i;
      continue;
    }
    if (glob[i] == ']') return i;
  }
  return std::string_view::npos;
}

// The items, or nullopt with the problem.
std::optional<std::vector<Item>> items_of(std::string_view glob, std::string* problem) {
  std::vector<Item> items;
  for (std::size_t i = 0; i < glob.size();) {
    const char c = glob[i];
    if (c == '*') {
      const bool twice = i + 1 < glob.size() && glob[i + 1] == '*';
      std::size_t end = i + (twice ? 2 : 1);
      while (twice && end < glob.size() && glob[end] == '*') ++end;  // "***" is "**"
      items.push_back({twice ? Kind::DoubleStar : Kind::Star, i, end});
      i = end;
    } else if (c == '?') {
      items.push_back({Kind::One, i, i + 1});
      ++i;
    } else if (c == '[') {
      const std::size_t end = class_end(glob, i + 1);
      if (end == std::string_view::npos) {
        if (problem) *problem = "\"[\" without its \"]\"";
        return std::nullopt;
      }
      items.push_back({Kind::Class, i + 1, end + 1});
      i = end + 1;
    } else if (c == '\\') {
      if (i + 1 >= glob.size()) {
        if (problem) *problem = "\"\\\" at the end";
        return std::nullopt;
      }
      const std::size_t length = char_at(glob, i + 1).length;
      items.push_back({Kind::Literal, i + 1, i + 1 + length});
      i += 1 + length;
    } else {
      const std::size_t length = char_at(glob, i).length;
      items.push_back({Kind::Literal, i, i + length});
      i += length;
    }
  }
  return items;
}

bool in_class(std::string_view glob, const Item& item, std::uint32_t code) {
  std::size_t i = item.begin;
  const std::size_t last = item.end - 1;  // the closing "]"
  bool negated = false;
  if (glob[i] == '!' || glob[i] == '^') {
    negated = true;
    ++i;
  }
  bool found = false;
  while (i < last) {
    if (glob[i] == '\\') ++i;
    const Char low = char_at(glob, i);
    i += low.length;
    if (i + 1 < last && glob[i] == '-') {
      std::size_t high_at = i + 1;
      if (glob[high_at] == '\\') ++high_at;
      const Char high = char_at(glob, high_at);
      if (low.code <= code && code <= high.code) found = true;
      i = high_at + high.length;
      continue;
    }
    if (low.code == code) found = true;
  }
  return found != negated;
}

}  // namespace

bool glob_matches(std::string_view glob, std::string_view text) {
  const auto items = items_of(glob, nullptr);
  if (!items) return false;
  // reach[i]: the glob read so far can end just before text[i]. (Strings,
  // not vectors: never without storage, which the optimiser then knows.)
  std::string reach(text.size() + 1, '\0');
  std::string next(text.size() + 1, '\0');
  reach[0] = 1;
  for (const Item& item : *items) {
    std::fill(next.begin(), next.end(), '\0');
    bool any = false;
    switch (item.kind) {
      case Kind::DoubleStar: {
        std::size_t first = 0;
        while (first <= text.size() && !reach[first]) ++first;
        for (std::size_t i = first; i <= text.size(); ++i) next[i] = 1;
        any = first <= text.size();
        break;
      }
      case Kind::Star: {
        bool running = false;
        for (std::size_t i = 0; i <= text.size(); ++i) {
          if (reach[i]) running = true;
          if (running) next[i] = 1, any = true;
          if (i < text.size() && text[i] == '/') running = false;
        }
        break;
      }
      default:
        for (std::size_t i = 0; i < text.size(); ++i) {
          if (!reach[i]) continue;
          const Char c = char_at(text, i);
          bool fits = false;
          if (item.kind == Kind::Literal) {
            const std::string_view want = glob.substr(item.begin, item.end - item.begin);
            fits = text.substr(i, want.size()) == want;
            if (fits) {
              next[i + want.size()] = 1;
              any = true;
            }
            continue;
          }
          if (c.code == '/') continue;
          fits = item.kind == Kind::One || in_class(glob, item, c.code);
          if (fits) {
            next[i + c.length] = 1;
            any = true;
          }
        }
        break;
    }
    if (!any) return false;
    reach.swap(next);
  }
  return reach[text.size()] != 0;
}

std::optional<std::string> glob_problem(std::string_view glob) {
  std::string problem;
  if (!items_of(glob, &problem)) return problem;
  return std::nullopt;
}

std::optional<std::string> literal_of_glob(std::string_view glob) {
  const auto items = items_of(glob, nullptr);
  if (!items) return std::nullopt;
  std::string text;
  for (const Item& item : *items) {
    if (item.kind != Kind::Literal) return std::nullopt;
    text.append(glob.substr(item.begin, item.end - item.begin));
  }
  return text;
}

}  // namespace kelvane::service
