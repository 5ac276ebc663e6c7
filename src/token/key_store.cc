#include "token/key_store.h"

#include <string.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "json/json.h"
#include "support/base64url.h"
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

void drop_retired(KeyState& state, std::uint64_t now) {
  std::erase_if(state.previous, [&](const PublicKey& k) { return k.retire_at.value_or(0) <= now; });
  std::erase_if(state.revoked, [&](const Revocation& r) { return r.exp <= now; });
}

Result<void, std::string> publish_all(const KeyPaths& paths, const KeyState& state) {
  if (auto saved = save_public_keys(paths, write_public_keys(published_keys(state))); !saved.ok())
    return saved;
  return save_revocations(paths, write_revocations(state.revoked));
}

// The revocations already published, so that a restart keeps them; none
// when the file is not there yet. A file that does not read stops the
// start: writing an empty list over it would revoke nothing.
Result<std::vector<Revocation>, std::string> published_revocations(const KeyPaths& paths) {
  const std::string path = paths.public_dir + "/" + std::string(kRevokedFile);
  auto text = read_small_file(path);
  if (!text.ok()) {
    if (errno == ENOENT) return std::vector<Revocation>{};
    return fail(std::move(text).error());
  }
  auto read = read_revocations(text.value());
  if (!read.ok()) return fail(path + ": " + read.error());
  return read;
}

Result<KeyState, std::string> first_key(const KeyPaths& paths, std::uint64_t lifetime) {
  auto key = SigningKey::generate();
  if (!key.ok()) return fail(std::move(key).error());
  KeyState state{std::move(key).value(), {}, lifetime, {}};
  if (auto saved = save_signing_key(paths, signing_key_text(state)); !saved.ok())
    return fail(std::move(saved).error());
  return state;
}

}  // namespace

std::string default_public_dir(const std::string& state_dir) {
  std::string dir = state_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "-public";
}

std::vector<PublicKey> published_keys(const KeyState& state) {
  std::vector<PublicKey> keys;
  keys.push_back({state.current.kid(), state.current.public_key(), std::nullopt});
  keys.insert(keys.end(), state.previous.begin(), state.previous.end());
  return keys;
}

void rotate(KeyState& state, const SigningKey& next, std::uint64_t now) {
  drop_retired(state, now);
  state.previous.insert(state.previous.begin(), {state.current.kid(), state.current.public_key(),
                                                 now + state.longest_lifetime});
  state.current = next;
}

bool add_revocation(KeyState& state, const Revocation& revocation, std::uint64_t now) {
  drop_retired(state, now);
  for (Revocation& r : state.revoked) {
    if (r.request_id != revocation.request_id) continue;
    if (r.exp >= revocation.exp) return false;
    r.exp = revocation.exp;
    return true;
  }
  state.revoked.push_back(revocation);
  return true;
}

std::string signing_key_text(const KeyState& state) {
  std::string out;
  json::Serializer serializer(out);
  json::SerializeMap map = serializer.serialize_map();
  map.serialize_entry("longestLifetime", state.longest_lifetime);
  map.serialize_key("previous");
  append_key_entries(out, state.previous);
  map.serialize_entry("secret", base64url::encode(state.current.secret()));
  map.end();
  out += '\n';
  return out;
}

Result<KeyState, std::string> read_signing_key(std::string_view text) {
  auto parsed = json::parse_value(text);
  if (!parsed.ok() || parsed.value().kind() != Value::Kind::Object)
    return fail(std::string("not a JSON object"));
  const Value& whole = parsed.value();
  const Value* lifetime = member(whole, "longestLifetime");
  const Value* previous = member(whole, "previous");
  const Value* secret = member(whole, "secret");
  if (lifetime == nullptr || lifetime->kind() != Value::Kind::Number ||
      lifetime->as_number().kind() != json::Number::Kind::Unsigned64 || previous == nullptr ||
      secret == nullptr || secret->kind() != Value::Kind::String)
    return fail(std::string("longestLifetime, previous or secret missing or of another type"));
  auto bytes = base64url::decode(secret->as_string());
  if (!bytes.ok() || bytes.value().size() != kKeyBytes)
    return fail(std::string("the secret is not 32 bytes of base64url"));
  std::array<std::uint8_t, kKeyBytes> raw{};
  std::memcpy(raw.data(), bytes.value().data(), kKeyBytes);
  ::explicit_bzero(bytes.value().data(), bytes.value().size());
  auto keys = read_key_entries(*previous);
  if (!keys.ok()) return fail(std::move(keys).error());
  KeyState state{SigningKey::from_secret(raw),
                 std::move(keys).value(),
                 lifetime->as_number().as_unsigned64(),
                 {}};
  ::explicit_bzero(raw.data(), raw.size());
  return state;
}

Result<KeyState, std::string> open_keys(const KeyPaths& paths, std::uint64_t lifetime,
                                        std::uint64_t now) {
  if (auto made = ensure_own_directory(paths.key_dir, 0700); !made.ok())
    return fail(std::move(made).error());
  if (auto made = ensure_own_directory(paths.public_dir, 0755); !made.ok())
    return fail(std::move(made).error());
  const std::string key_path = paths.key_dir + "/" + std::string(kSigningKeyFile);
  auto text = read_private_file(key_path);
  Result<KeyState, std::string> state = fail(std::string());
  if (!text.ok() && errno == ENOENT) {
    state = first_key(paths, lifetime);
  } else if (!text.ok()) {
    return fail(std::move(text).error());
  } else {
    state = read_signing_key(text.value());
    ::explicit_bzero(text.value().data(), text.value().size());
    if (!state.ok()) return fail(key_path + ": " + state.error());
  }
  if (!state.ok()) return state;
  KeyState& keys = state.value();
  auto revoked = published_revocations(paths);
  if (!revoked.ok()) return fail(std::move(revoked).error());
  keys.revoked = std::move(revoked).value();
  const bool longer = lifetime > keys.longest_lifetime;
  keys.longest_lifetime = std::max(keys.longest_lifetime, lifetime);
  drop_retired(keys, now);
  if (longer) {
    if (auto saved = save_signing_key(paths, signing_key_text(keys)); !saved.ok())
      return fail(std::move(saved).error());
  }
  if (auto published = publish_all(paths, keys); !published.ok())
    return fail(std::move(published).error());
  return state;
}

Result<void, std::string> save_signing_key(const KeyPaths& paths, const std::string& text) {
  return replace_file(paths.key_dir, kSigningKeyFile, text, 0600);
}

Result<void, std::string> save_public_keys(const KeyPaths& paths, const std::string& text) {
  return replace_file(paths.public_dir, kPublicKeysFile, text, 0644);
}

Result<void, std::string> save_revocations(const KeyPaths& paths, const std::string& text) {
  return replace_file(paths.public_dir, kRevokedFile, text, 0644);
}

}  // namespace kelvane::token
