#include "token/claims.h"

#include <span>

#include "json/json.h"
#include "support/utf8.h"

namespace kelvane::token {
namespace {

bool is_request_id(std::string_view text) {
  return !text.empty() && text.size() <= 20 &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

Result<std::vector<std::string>, std::string> names_of(const json::Value& value) {
  if (value.kind() != json::Value::Kind::Array)
    return fail(std::string("\"approvers\" is not an array"));
  std::vector<std::string> names;
  for (const json::Value& element : value.as_array()) {
    if (element.kind() != json::Value::Kind::String)
      return fail(std::string("\"approvers\" holds something other than a user name"));
    names.emplace_back(element.as_string());
  }
  return names;
}

}  // namespace

bool is_key_id(std::string_view text) noexcept {
  return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string write_claims(const Claims& c) {
  std::vector<json::Value> names;
  names.reserve(c.approvers.size());
  for (const std::string& name : c.approvers) names.push_back(json::Value::string(name));
  return write_claims(c, json::Value::array(names));
}

std::string write_claims(const Claims& c, const json::Value& approvers) {
  std::string out;
  json::Serializer serializer(out);
  // Keys in ascending byte order: the canonical form.
  json::SerializeMap map = serializer.serialize_map();
  map.serialize_entry("action", c.action);
  map.serialize_entry("approvers", approvers);
  map.serialize_entry("exp", c.exp);
  map.serialize_entry("iat", c.iat);
  map.serialize_entry("kid", c.kid);
  if (c.operation_digest) map.serialize_entry("operationDigest", *c.operation_digest);
  map.serialize_entry("requestId", c.request_id);
  map.serialize_entry("targetHost", c.target_host);
  map.serialize_entry("uid", c.uid);
  map.serialize_entry("user", c.user);
  map.end();
  return out;
}

Result<Claims, std::string> read_claims(std::string_view text) {
  if (!utf8::is_valid(text)) return fail(std::string("the claims are not UTF-8"));
  Claims c;
  std::optional<json::Value> approvers;
  std::optional<std::uint64_t> uid, iat, exp;
  const json::Field fields[] = {
      json::Field::text("action", c.action),
      json::Field::value("approvers", approvers),
      json::Field::unsigned64("exp", exp),
      json::Field::unsigned64("iat", iat),
      json::Field::text("kid", c.kid),
      json::Field::text("operationDigest", c.operation_digest),
      json::Field::text("requestId", c.request_id),
      json::Field::text("targetHost", c.target_host),
      json::Field::unsigned64("uid", uid),
      json::Field::text("user", c.user),
  };
  auto read = json::read_record(text, {.fields = fields,
                                       .type_description = "the claims",
                                       .unknown = json::UnknownMembers::Refuse});
  if (!read.ok()) return fail("the claims do not read: " + read.error().error.to_string());
  if (!approvers || !uid || !iat || !exp) {
    return fail(std::string("the claims lack one of \"approvers\", \"uid\", \"iat\", \"exp\""));
  }
  auto names = names_of(*approvers);
  if (!names.ok()) return fail(std::move(names).error());
  c.approvers = std::move(names).value();
  c.uid = *uid;
  c.iat = *iat;
  c.exp = *exp;
  if (!is_key_id(c.kid)) return fail(std::string("\"kid\" is not 16 hexadecimal digits"));
  if (!is_request_id(c.request_id)) return fail(std::string("\"requestId\" is not a request id"));
  if (c.exp <= c.iat) return fail(std::string("\"exp\" is not after \"iat\""));
  // Anything the writer would have put otherwise (order, spaces, escapes,
  // number forms, a repeated key) is another text for the same claims.
  if (write_claims(c) != text) return fail(std::string("the claims are not in canonical form"));
  return c;
}

}  // namespace kelvane::token
