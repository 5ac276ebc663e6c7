#include "terminal.h"

#include <unistd.h>

#include <cerrno>
#include <span>

#include "json/writer.h"
#include "stop.h"

namespace kelvane::demo {

namespace {

void write_fully(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

const json::Value* member(const json::Value& object, std::string_view name) {
  if (object.kind() != json::Value::Kind::Object) return nullptr;
  for (const json::Member& m : object.as_object()) {
    if (m.name() == name) return &m.value;
  }
  return nullptr;
}

// Continuation lines of a value start under the first one.
std::string indented(std::string_view text, std::size_t indent) {
  std::string out;
  for (const char c : text) {
    out += c;
    if (c == '\n') out.append(indent, ' ');
  }
  return out;
}

void pretty(const json::Value& value, std::size_t depth, std::string& out) {
  const std::string pad(2 * (depth + 1), ' ');
  const std::string close_pad(2 * depth, ' ');
  switch (value.kind()) {
    case json::Value::Kind::Array: {
      const std::span<const json::Value> items = value.as_array();
      if (items.empty()) {
        out += "[]";
        return;
      }
      out += "[\n";
      for (std::size_t i = 0; i < items.size(); ++i) {
        out += pad;
        pretty(items[i], depth + 1, out);
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      out += close_pad + "]";
      return;
    }
    case json::Value::Kind::Object: {
      const std::span<const json::Member> members = value.as_object();
      if (members.empty()) {
        out += "{}";
        return;
      }
      out += "{\n";
      json::Serializer serializer(out);
      for (std::size_t i = 0; i < members.size(); ++i) {
        out += pad;
        serializer.serialize_str(members[i].name());
        out += ": ";
        pretty(members[i].value, depth + 1, out);
        out += i + 1 < members.size() ? ",\n" : "\n";
      }
      out += close_pad + "}";
      return;
    }
    default:
      json::Serializer(out).serialize(value);
      return;
  }
}

void line(std::string& out, std::string_view label, std::string_view text) {
  constexpr std::size_t kWidth = 14;
  out.append("  ").append(label).append(":");
  out.append(kWidth - label.size() - 1, ' ');
  out.append(indented(visible(text), kWidth + 2)) += '\n';
}

std::string text_of(const json::Value* value) {
  if (value == nullptr) return "(absent)";
  if (value->kind() == json::Value::Kind::String) return std::string(value->as_string());
  return json::to_json(*value);
}

}  // namespace

void say(std::string_view text) { write_fully(1, text); }
void complain(std::string_view text) { write_fully(2, text); }

std::string visible(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    unsigned code = 0x100;  // none
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F) {
      code = byte;
    } else if (byte == 0xC2 && i + 1 < text.size()) {
      // U+0080 to U+009F: the C1 controls, which some terminals obey too.
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        code = next;
        ++i;
      }
    }
    if (code == 0x100) {
      out += text[i];
      continue;
    }
    out.append("\\u{").append(1, kHex[code >> 4]).append(1, kHex[code & 0xF]) += '}';
  }
  return out;
}

std::string describe_request(const json::Value& request) {
  std::string out = "\n== approval request ==\n";
  line(out, "title", text_of(member(request, "title")));
  line(out, "detail", text_of(member(request, "detail")));
  line(out, "action", text_of(member(request, "action")));
  line(out, "requester", text_of(member(request, "requester")));
  line(out, "source host", text_of(member(request, "sourceHost")));
  line(out, "target host", text_of(member(request, "targetHost")));
  if (const json::Value* digest = member(request, "operationDigest")) {
    line(out, "digest", text_of(digest));
  }
  if (const json::Value* context = member(request, "context")) {
    std::string text;
    pretty(*context, 0, text);
    line(out, "context", text);
  }
  if (const json::Value* timeout = member(request, "timeoutSecs")) {
    line(out, "timeout", json::to_json(*timeout) + " s");
  }
  return out;
}

bool ask_operator(std::string_view question) {
  say(question);
  char answer = 0;
  bool first = true;
  for (;;) {
    if (!wait_readable(0, -1)) {
      say("\n");
      return false;
    }
    char c;
    const ssize_t n = ::read(0, &c, 1);
    if (n < 0 && errno == EINTR && !g_stop) continue;
    if (n <= 0) {
      say("\n");
      return false;
    }
    if (c == '\n') break;
    if (first) answer = c;
    first = false;
  }
  return answer == 'y' || answer == 'Y';
}

}  // namespace kelvane::demo
