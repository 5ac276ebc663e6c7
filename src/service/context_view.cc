#include "service/context_view.h"

#include <span>
#include <string>

#include "json/json.h"
#include "service/shown_text.h"

namespace kelvane::service {
namespace {

// Past this depth the indentation stops growing, so that deep contexts
// still fit the line; such lines name their level instead (the number of
// containers around the entry).
constexpr std::size_t kDeepest = 16;
constexpr std::size_t kLongestBareKey = 32;

struct Head {
  std::string text;
  std::size_t width;
  std::size_t value_column;  // where the pieces of a string value continue
};

bool is_bare_key(std::string_view key) {
  if (key.empty() || key.size() > kLongestBareKey) return false;
  for (const char c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || c == '.' || c == '/';
    if (!plain) return false;
  }
  return true;
}

std::size_t indent_of(std::size_t base, std::size_t depth) {
  return base + 2 * std::min(depth, kDeepest);
}

// The start of an entry's first line: indentation, the level past kDeepest,
// then `marker` ("-" or a key with its colon).
Head head(std::size_t base, std::size_t depth, std::string_view marker, std::size_t marker_width) {
  const std::size_t indent = indent_of(base, depth);
  // A dash's string lines up under its first piece; a key's is indented
  // further, apart from the keys of the level below.
  Head h{std::string(indent, ' '), indent, indent + (marker == "-" ? 2 : 4)};
  if (depth > kDeepest) {
    const std::string level = "(level " + std::to_string(depth + 1) + ") ";
    h.text += level;
    h.width += level.size();
  }
  h.text.append(marker);
  h.width += marker_width;
  return h;
}

// A key that is not a short plain word is quoted; one too long for a line
// takes lines of its own above the one that carries its colon.
Head key_head(Block& block, std::size_t base, std::size_t depth, std::string_view key) {
  if (is_bare_key(key)) return head(base, depth, std::string(key) + ":", key.size() + 1);
  const std::size_t indent = indent_of(base, depth);
  const std::size_t room = indent + 24 <= kTextWidth ? kTextWidth - indent - 12 : 24;
  const std::vector<Piece> pieces = quoted_pieces(key, room);
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    const Head line = head(base, depth, pieces[i].text, pieces[i].width);
    block.add(line.text);
  }
  return head(base, depth, pieces.back().text + ":", pieces.back().width + 1);
}

void add_entry(Block& block, Head h, const json::Value& value, std::size_t base, std::size_t depth);

void add_children(Block& block, const json::Value& value, std::size_t base, std::size_t depth) {
  if (value.kind() == json::Value::Kind::Array) {
    for (const json::Value& item : value.as_array())
      add_entry(block, head(base, depth, "-", 1), item, base, depth);
    return;
  }
  for (const json::Member& member : value.as_object()) {
    add_entry(block, key_head(block, base, depth, member.name()), member.value, base, depth);
  }
}

bool is_empty_container(const json::Value& value) {
  return (value.kind() == json::Value::Kind::Array && value.as_array().empty()) ||
         (value.kind() == json::Value::Kind::Object && value.as_object().empty());
}

// One entry: its head, then the value on the same line (scalars), or its
// children on the lines below, one level deeper.
void add_entry(Block& block, Head h, const json::Value& value, std::size_t base,
               std::size_t depth) {
  switch (value.kind()) {
    case json::Value::Kind::String:
      block.add_text(std::move(h.text), h.width, value.as_string(), h.value_column);
      return;
    case json::Value::Kind::Array:
    case json::Value::Kind::Object:
      if (is_empty_container(value)) {
        block.add(h.text + (value.kind() == json::Value::Kind::Array ? " []" : " {}"));
        return;
      }
      block.add(std::move(h.text));
      add_children(block, value, base, depth + 1);
      return;
    default:
      block.add(h.text + " " + json::to_json(value));
      return;
  }
}

}  // namespace

void add_context(Block& block, const json::Value& context, std::size_t indent) {
  switch (context.kind()) {
    case json::Value::Kind::String:
      block.add_text("", 0, context.as_string(), indent);
      return;
    case json::Value::Kind::Array:
    case json::Value::Kind::Object:
      if (is_empty_container(context)) {
        block.add(std::string(indent, ' ') +
                  (context.kind() == json::Value::Kind::Array ? "[]" : "{}"));
        return;
      }
      add_children(block, context, indent, 0);
      return;
    default:
      block.add(std::string(indent, ' ') + json::to_json(context));
      return;
  }
}

}  // namespace kelvane::service
