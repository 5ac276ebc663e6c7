#include "service/request.h"

#include <array>
#include <vector>

#include "json/json.h"
#include "service/object_members.h"
#include "service/shown_text.h"
#include "support/utf8.h"

namespace kelvane::service {
namespace {

enum class Type { Text, OptionalText, Any, Unsigned };

struct Field {
  std::string_view name;
  Type type;
  bool required;
};

// The wire names, in wire order.
constexpr std::array<Field, 10> kFields = {{
    {"id", Type::Text, false},
    {"title", Type::Text, true},
    {"detail", Type::Text, true},
    {"action", Type::Text, true},
    {"requester", Type::Text, true},
    {"sourceHost", Type::Text, true},
    {"targetHost", Type::Text, true},
    {"operationDigest", Type::OptionalText, false},
    {"context", Type::Any, false},
    {"timeoutSecs", Type::Unsigned, false},
}};

// Names come from the client: shown escaped, like everything else it sends.
std::string quoted_name(std::string_view name) {
  return show_quoted(name);
}

std::string value_problem(std::string_view name, const json::Error& error) {
  if (error.code() == json::ErrorCode::RecursionLimitExceeded) {
    return "the member " + quoted_name(name) + " nests more than 127 levels deep";
  }
  return "the member " + quoted_name(name) + " does not read as JSON: " + error.to_string();
}

std::optional<std::size_t> field_index(std::string_view name) {
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i].name == name) return i;
  }
  return std::nullopt;
}

Result<std::string, std::string> read_key(std::string_view key_text) {
  auto key = json::parse_value(key_text);
  if (!key.ok()) return fail("a member name does not read as JSON: " + key.error().to_string());
  if (key.value().kind() != json::Value::Kind::String)
    return fail(std::string("a member name is not a string"));
  return std::string(key.value().as_string());
}

// Checks the value's type against the field and stores it.
Result<void, std::string> store(Request& request, std::size_t index, json::Value value) {
  const Field& field = kFields[index];
  const auto kind = value.kind();
  const std::string where = "the member " + quoted_name(field.name);
  if (field.type == Type::Any) {
    request.has_context = true;
    request.context = std::move(value);
    return {};
  }
  if (field.type == Type::Unsigned) {
    if (kind != json::Value::Kind::Number ||
        value.as_number().kind() != json::Number::Kind::Unsigned64) {
      return fail(where + " is not a whole number of seconds from 0 to 18446744073709551615");
    }
    request.timeout_secs = value.as_number().as_unsigned64();
    return {};
  }
  if (kind != json::Value::Kind::String) return fail(where + " is not a string");
  std::string text(value.as_string());
  switch (index) {
    case 0:
      request.id = std::move(text);
      break;
    case 1:
      request.title = std::move(text);
      break;
    case 2:
      request.detail = std::move(text);
      break;
    case 3:
      request.action = std::move(text);
      break;
    case 4:
      request.requester = std::move(text);
      break;
    case 5:
      request.source_host = std::move(text);
      break;
    case 6:
      request.target_host = std::move(text);
      break;
    default:
      request.operation_digest = std::move(text);
      break;
  }
  return {};
}

}  // namespace

Result<Request, std::string> parse_request(std::string_view line) {
  if (!utf8::is_valid(line)) return fail(std::string("the request line is not valid UTF-8"));
  auto members = split_object(line);
  if (!members.ok()) return fail(std::move(members).error());

  Request request;
  std::array<bool, kFields.size()> seen{};
  for (const RawMember& raw : members.value()) {
    auto name = read_key(raw.key);
    if (!name.ok()) return fail(std::move(name).error());
    const std::optional<std::size_t> index = field_index(name.value());
    if (!index) return fail("the request has an unknown member " + quoted_name(name.value()));
    if (seen[*index]) return fail("the member " + quoted_name(name.value()) + " appears twice");
    seen[*index] = true;
    auto value = json::parse_value(raw.value);
    if (!value.ok()) {
      return fail(value_problem(name.value(), value.error()));
    }
    if (auto stored = store(request, *index, std::move(value).value()); !stored.ok()) {
      return fail(std::move(stored).error());
    }
  }
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i].required && !seen[i])
      return fail("the member " + quoted_name(kFields[i].name) + " is missing");
  }
  return request;
}

}  // namespace kelvane::service
