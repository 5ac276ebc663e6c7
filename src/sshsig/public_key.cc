#include "sshsig/public_key.h"

#include <array>

#include "sshsig/base64.h"
#include "sshsig/digest.h"
#include "sshsig/shown.h"
#include "sshsig/wire.h"

namespace kelvane::sshsig {
namespace {

constexpr std::string_view kCurveName = "nistp256";

struct TypeName {
  KeyType type;
  std::string_view name;
};

constexpr std::array<TypeName, 4> kTypeNames = {{
    {KeyType::Ed25519, "ssh-ed25519"},
    {KeyType::EcdsaP256, "ecdsa-sha2-nistp256"},
    {KeyType::SkEd25519, "sk-ssh-ed25519@openssh.com"},
    {KeyType::SkEcdsaP256, "sk-ecdsa-sha2-nistp256@openssh.com"},
}};

bool is_ed25519(KeyType type) {
  return type == KeyType::Ed25519 || type == KeyType::SkEd25519;
}

// The key material after the type name: the Ed25519 key, or the curve's
// name and the point.
Result<std::string, std::string> read_point(WireReader& reader, KeyType type) {
  if (is_ed25519(type)) {
    KOA_TRY(key, reader.string());
    if (key.size() != kEd25519KeyBytes)
      return fail(std::string("an Ed25519 key not 32 bytes long"));
    return std::string(key);
  }
  KOA_TRY(curve, reader.string());
  if (curve != kCurveName) return fail(std::string("an ECDSA key on a curve other than nistp256"));
  KOA_TRY(point, reader.string());
  if (point.size() != kP256PointBytes || point.front() != '\x04')
    return fail(std::string("an ECDSA point that is not 65 bytes, uncompressed"));
  return std::string(point);
}

}  // namespace

std::string_view type_name(KeyType type) noexcept {
  for (const TypeName& entry : kTypeNames)
    if (entry.type == type) return entry.name;
  return {};
}

std::optional<KeyType> type_named(std::string_view name) noexcept {
  for (const TypeName& entry : kTypeNames)
    if (entry.name == name) return entry.type;
  return std::nullopt;
}

bool is_security_key(KeyType type) noexcept {
  return type == KeyType::SkEd25519 || type == KeyType::SkEcdsaP256;
}

Result<PublicKey, std::string> read_public_key(std::string_view blob) {
  WireReader reader(blob);
  KOA_TRY(name, reader.string());
  const std::optional<KeyType> type = type_named(name);
  if (!type) return fail("key type " + shown(name) + " is not supported");
  PublicKey key;
  key.type = *type;
  key.blob = std::string(blob);
  KOA_TRY(point, read_point(reader, key.type));
  key.point = std::move(point);
  if (is_security_key(key.type)) {
    KOA_TRY(application, reader.string());
    key.application = std::string(application);
  }
  if (!reader.at_end()) return fail(std::string("bytes after the end of the key"));
  return key;
}

PublicKey make_public_key(KeyType type, std::string_view point, std::string_view application) {
  WireWriter writer;
  writer.string(type_name(type));
  if (!is_ed25519(type)) writer.string(kCurveName);
  writer.string(point);
  if (is_security_key(type)) writer.string(application);
  PublicKey key;
  key.type = type;
  key.blob = std::move(writer).bytes();
  key.point = std::string(point);
  if (is_security_key(type)) key.application = std::string(application);
  return key;
}

std::string fingerprint(const PublicKey& key) {
  std::string text = base64::encode(sha256(key.blob));
  while (!text.empty() && text.back() == '=') text.pop_back();
  return "SHA256:" + text;
}

bool is_fingerprint_text(std::string_view text) noexcept {
  constexpr std::string_view kPrefix = "SHA256:";
  constexpr std::size_t kDigits = 43;  // 32 bytes, unpadded
  return text.size() == kPrefix.size() + kDigits && text.starts_with(kPrefix) &&
         text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
                                kPrefix.size()) == std::string_view::npos;
}

std::string key_text(const PublicKey& key) {
  return std::string(type_name(key.type)) + " " + base64::encode(key.blob);
}

}  // namespace kelvane::sshsig
