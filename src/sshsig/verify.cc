#include "sshsig/verify.h"

#include <gmp.h>
#include <nettle/dsa.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/ecdsa.h>
#include <nettle/eddsa.h>

#include "sshsig/digest.h"
#include "sshsig/shown.h"
#include "sshsig/wire.h"

namespace kelvane::sshsig {
namespace {

const std::uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// A signature blob's parts: the Ed25519 signature, or ECDSA's r and s.
struct SignatureParts {
  std::string_view ed25519;
  std::string_view r;
  std::string_view s;
  SignatureDetails details;
};

bool is_ed25519(KeyType type) {
  return type == KeyType::Ed25519 || type == KeyType::SkEd25519;
}

Result<SignatureParts, std::string> read_signature(KeyType type, std::string_view blob) {
  WireReader reader(blob);
  KOA_TRY(name, reader.string());
  if (name != type_name(type))
    return fail("a signature of type " + shown(name) + " by a key of type " +
                std::string(type_name(type)));
  SignatureParts parts;
  KOA_TRY(body, reader.string());
  if (is_ed25519(type)) {
    if (body.size() != kEd25519SignatureBytes)
      return fail(std::string("an Ed25519 signature not 64 bytes long"));
    parts.ed25519 = body;
  } else {
    WireReader numbers(body);
    KOA_TRY(r, numbers.positive_mpint(kP256ScalarBytes));
    KOA_TRY(s, numbers.positive_mpint(kP256ScalarBytes));
    if (!numbers.at_end()) return fail(std::string("bytes after an ECDSA signature's numbers"));
    parts.r = r;
    parts.s = s;
  }
  if (is_security_key(type)) {
    KOA_TRY(flags, reader.byte());
    KOA_TRY(counter, reader.uint32());
    parts.details = {flags, counter};
  }
  if (!reader.at_end()) return fail(std::string("bytes after the end of the signature"));
  return parts;
}

// GMP integers that clear themselves.
class Integer {
 public:
  explicit Integer(std::string_view big_endian) {
    mpz_init(value_);
    mpz_import(value_, big_endian.size(), 1, 1, 1, 0, big_endian.data());
  }
  ~Integer() { mpz_clear(value_); }
  Integer(const Integer&) = delete;
  Integer& operator=(const Integer&) = delete;
  const mpz_t& get() const { return value_; }

 private:
  mpz_t value_;
};

bool ecdsa_p256_holds(std::string_view point, std::string_view digest, std::string_view r,
                      std::string_view s) {
  const Integer x(point.substr(1, kP256ScalarBytes));
  const Integer y(point.substr(1 + kP256ScalarBytes, kP256ScalarBytes));
  ecc_point key;
  ecc_point_init(&key, nettle_get_secp_256r1());
  // Refuses a point that is not on the curve.
  bool holds = ecc_point_set(&key, x.get(), y.get()) == 1;
  if (holds) {
    dsa_signature signature;
    dsa_signature_init(&signature);
    mpz_import(signature.r, r.size(), 1, 1, 1, 0, r.data());
    mpz_import(signature.s, s.size(), 1, 1, 1, 0, s.data());
    holds = ecdsa_verify(&key, digest.size(), bytes_of(digest), &signature) == 1;
    dsa_signature_clear(&signature);
  }
  ecc_point_clear(&key);
  return holds;
}

}  // namespace

std::string security_key_message(std::string_view application, std::uint8_t flags,
                                 std::uint32_t counter, std::string_view data) {
  WireWriter writer;
  writer.raw(sha256(application));
  writer.byte(flags);
  writer.uint32(counter);
  writer.raw(sha256(data));
  return std::move(writer).bytes();
}

Result<SignatureDetails, std::string> verify_key_signature(const PublicKey& key,
                                                           std::string_view signature,
                                                           std::string_view data) {
  KOA_TRY(parts, read_signature(key.type, signature));
  const std::string signed_message =
      is_security_key(key.type)
          ? security_key_message(key.application, parts.details.flags, parts.details.counter, data)
          : std::string(data);
  const bool holds =
      is_ed25519(key.type)
          ? ed25519_sha512_verify(bytes_of(key.point), signed_message.size(),
                                  bytes_of(signed_message), bytes_of(parts.ed25519)) == 1
          : ecdsa_p256_holds(key.point, sha256(signed_message), parts.r, parts.s);
  if (!holds) return fail(std::string("the signature does not match the key and the message"));
  return parts.details;
}

Result<VerifiedSignature, std::string> verify_detached(const DetachedSignature& signature,
                                                       std::string_view message,
                                                       std::string_view name_space,
                                                       const Requirements& requirements) {
  if (signature.name_space != name_space)
    return fail("a signature for namespace " + shown(signature.name_space) + ", not " +
                shown(name_space));
  const bool security_key = is_security_key(signature.key.type);
  if (requirements.security_key && !security_key)
    return fail("a signature by a " + std::string(type_name(signature.key.type)) +
                " key where a security key is required");
  KOA_TRY(details, verify_key_signature(signature.key, signature.signature,
                                        signed_data(name_space, signature.hash, message)));
  if (security_key && requirements.user_presence && (details.flags & kUserPresent) == 0)
    return fail(std::string("a security key's signature made without a touch (user presence)"));
  return VerifiedSignature{signature.key, signature.hash, details};
}

}  // namespace kelvane::sshsig
