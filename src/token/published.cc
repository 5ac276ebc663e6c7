#include "token/published.h"

#include <cstring>

#include "json/json.h"
#include "support/base64url.h"
#include "support/utf8.h"
#include "token/files.h"

namespace kelvane::token {
namespace {

using json::Value;

const Value* member(const Value& object, std::string_view name) {
  for (const json::Member& m : object.as_object()) {
    if (m.name() == name) return &m.value;
  }
  return nullptr;
}

// Every member of `object` is one of `names`.
bool only_members(const Value& object, std::initializer_list<std::string_view> names) {
  for (const json::Member& m : object.as_object()) {
    bool known = false;
    for (const std::string_view name : names) known = known || m.name() == name;
    if (!known) return false;
  }
  return true;
}

std::optional<std::uint64_t> whole_number(const Value* value) {
  if (value == nullptr || value->kind() != Value::Kind::Number ||
      value->as_number().kind() != json::Number::Kind::Unsigned64)
    return std::nullopt;
  return value->as_number().as_unsigned64();
}

std::optional<std::string_view> text_of(const Value* value) {
  if (value == nullptr || value->kind() != Value::Kind::String) return std::nullopt;
  return value->as_string();
}

// The array under `name` of a whole text that is an object with only it.
Result<Value, std::string> list_in(std::string_view text, std::string_view name) {
  if (!utf8::is_valid(text)) return fail(std::string("not UTF-8"));
  auto parsed = json::parse_value(text);
  if (!parsed.ok()) return fail("not JSON: " + parsed.error().to_string());
  Value whole = std::move(parsed).value();
  if (whole.kind() != Value::Kind::Object || !only_members(whole, {name}) ||
      member(whole, name) == nullptr || member(whole, name)->kind() != Value::Kind::Array) {
    return fail("not an object with only an array \"" + std::string(name) + "\"");
  }
  return whole;
}

Result<PublicKey, std::string> read_key(const Value& entry) {
  if (entry.kind() != Value::Kind::Object || !only_members(entry, {"kid", "publicKey", "retireAt"}))
    return fail(std::string("a key entry is not an object of kid, publicKey, retireAt"));
  const auto kid = text_of(member(entry, "kid"));
  const auto encoded = text_of(member(entry, "publicKey"));
  if (!kid || !encoded) return fail(std::string("a key entry lacks its kid or publicKey"));
  auto bytes = base64url::decode(*encoded);
  if (!bytes.ok() || bytes.value().size() != kKeyBytes)
    return fail(std::string("a publicKey is not 32 bytes of base64url"));
  PublicKey key;
  std::memcpy(key.key.data(), bytes.value().data(), kKeyBytes);
  key.kid = std::string(*kid);
  if (key.kid != key_id(key.key)) return fail("the kid " + key.kid + " is not its key's");
  if (const Value* retire = member(entry, "retireAt")) {
    key.retire_at = whole_number(retire);
    if (!key.retire_at) return fail(std::string("a retireAt is not Unix seconds"));
  }
  return key;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void append_key_entries(std::string& out, const std::vector<PublicKey>& keys) {
  out += '[';
  json::Serializer serializer(out);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) out += ',';
    json::SerializeMap map = serializer.serialize_map();
    map.serialize_entry("kid", keys[i].kid);
    map.serialize_entry("publicKey", base64url::encode(keys[i].key));
    if (keys[i].retire_at) map.serialize_entry("retireAt", *keys[i].retire_at);
    map.end();
  }
  out += ']';
}

Result<std::vector<PublicKey>, std::string> read_key_entries(const json::Value& array) {
  if (array.kind() != Value::Kind::Array) return fail(std::string("the keys are not an array"));
  std::vector<PublicKey> keys;
  for (const Value& entry : array.as_array()) {
    auto key = read_key(entry);
    if (!key.ok()) return fail(std::move(key).error());
    keys.push_back(std::move(key).value());
  }
  return keys;
}

std::string write_public_keys(const std::vector<PublicKey>& keys) {
  std::string out = R"({"keys":)";
  append_key_entries(out, keys);
  out += "}\n";
  return out;
}

std::string write_revocations(const std::vector<Revocation>& revoked) {
  std::string out = R"({"revoked":)";
  append_revocation_entries(out, revoked);
  out += "}\n";
  return out;
}

void append_revocation_entries(std::string& out, const std::vector<Revocation>& revoked) {
  out += '[';
  json::Serializer serializer(out);
  for (std::size_t i = 0; i < revoked.size(); ++i) {
    if (i > 0) out += ',';
    json::SerializeMap map = serializer.serialize_map();
    map.serialize_entry("exp", revoked[i].exp);
    map.serialize_entry("requestId", revoked[i].request_id);
    map.end();
  }
  out += ']';
}

Result<std::vector<PublicKey>, std::string> read_public_keys(std::string_view text) {
  auto whole = list_in(text, "keys");
  if (!whole.ok()) return fail(std::move(whole).error());
  return read_key_entries(*member(whole.value(), "keys"));
}

Result<std::vector<Revocation>, std::string> read_revocations(std::string_view text) {
  auto whole = list_in(text, "revoked");
  if (!whole.ok()) return fail(std::move(whole).error());
  std::vector<Revocation> revoked;
  for (const Value& entry : member(whole.value(), "revoked")->as_array()) {
    const bool shaped =
        entry.kind() == Value::Kind::Object && only_members(entry, {"exp", "requestId"});
    const auto id = shaped ? text_of(member(entry, "requestId")) : std::nullopt;
    const auto exp = shaped ? whole_number(member(entry, "exp")) : std::nullopt;
    if (!id || !exp) return fail(std::string("an entry is not an object of exp and requestId"));
    revoked.push_back({std::string(*id), *exp});
  }
  return revoked;
}

Result<PublishedFiles, std::string> load_published(const std::string& public_keys_path) {
  PublishedFiles files;
  auto keys_text = read_small_file(public_keys_path);
  if (!keys_text.ok()) return fail(std::move(keys_text).error());
  auto keys = read_public_keys(keys_text.value());
  if (!keys.ok()) return fail(public_keys_path + ": " + keys.error());
  const std::string revoked_path = directory_of(public_keys_path) + "/" + std::string(kRevokedFile);
  auto revoked_text = read_small_file(revoked_path);
  if (!revoked_text.ok()) return fail(std::move(revoked_text).error());
  auto revoked = read_revocations(revoked_text.value());
  if (!revoked.ok()) return fail(revoked_path + ": " + revoked.error());
  files.keys = std::move(keys).value();
  files.revoked = std::move(revoked).value();
  return files;
}

}  // namespace kelvane::token
