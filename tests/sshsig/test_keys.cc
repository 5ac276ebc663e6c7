#include "sshsig/test_keys.h"

#include <gmp.h>
#include <nettle/dsa.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/ecdsa.h>
#include <nettle/eddsa.h>
#include <nettle/knuth-lfib.h>

#include <vector>

#include "sshsig/digest.h"
#include "sshsig/wire.h"

namespace kelvane::sshsig::testing {
namespace {

const std::uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

bool is_ed25519(KeyType type) {
  return type == KeyType::Ed25519 || type == KeyType::SkEd25519;
}

// `value` as exactly `size` big-endian bytes.
std::string export_fixed(const mpz_t value, std::size_t size) {
  std::vector<unsigned char> bytes((mpz_sizeinbase(value, 2) + 7) / 8 + 1);
  std::size_t count = 0;
  mpz_export(bytes.data(), &count, 1, 1, 1, 0, value);
  std::string out(size - count, '\0');
  out.append(reinterpret_cast<const char*>(bytes.data()), count);
  return out;
}

std::string p256_point(std::string_view scalar_bytes) {
  mpz_t scalar_value, x, y;
  mpz_inits(scalar_value, x, y, nullptr);
  mpz_import(scalar_value, scalar_bytes.size(), 1, 1, 1, 0, scalar_bytes.data());
  ecc_scalar scalar;
  ecc_scalar_init(&scalar, nettle_get_secp_256r1());
  ecc_scalar_set(&scalar, scalar_value);
  ecc_point point;
  ecc_point_init(&point, nettle_get_secp_256r1());
  ecc_point_mul_g(&point, &scalar);
  ecc_point_get(&point, x, y);
  std::string out = "\x04" + export_fixed(x, kP256ScalarBytes) + export_fixed(y, kP256ScalarBytes);
  ecc_point_clear(&point);
  ecc_scalar_clear(&scalar);
  mpz_clears(scalar_value, x, y, nullptr);
  return out;
}

std::string ecdsa_p256_sign(std::string_view scalar_bytes, std::string_view digest) {
  mpz_t scalar_value;
  mpz_init(scalar_value);
  mpz_import(scalar_value, scalar_bytes.size(), 1, 1, 1, 0, scalar_bytes.data());
  ecc_scalar scalar;
  ecc_scalar_init(&scalar, nettle_get_secp_256r1());
  ecc_scalar_set(&scalar, scalar_value);
  knuth_lfib_ctx random;
  knuth_lfib_init(&random, 4711);
  dsa_signature signature;
  dsa_signature_init(&signature);
  ecdsa_sign(&scalar, &random, reinterpret_cast<nettle_random_func*>(&knuth_lfib_random),
             digest.size(), bytes_of(digest), &signature);
  WireWriter numbers;
  numbers.mpint(export_fixed(signature.r, kP256ScalarBytes));
  numbers.mpint(export_fixed(signature.s, kP256ScalarBytes));
  dsa_signature_clear(&signature);
  ecc_scalar_clear(&scalar);
  mpz_clear(scalar_value);
  return std::move(numbers).bytes();
}

}  // namespace

TestKey::TestKey(KeyType type, std::uint8_t seed, std::string_view application) : type_(type) {
  // Any 32 bytes are an Ed25519 seed; a P-256 scalar must stay below the
  // group order, which a leading zero byte guarantees.
  secret_ = std::string(kP256ScalarBytes, static_cast<char>(seed));
  secret_[0] = is_ed25519(type) ? static_cast<char>(seed) : '\0';
  std::string point;
  if (is_ed25519(type)) {
    point.resize(kEd25519KeyBytes);
    ed25519_sha512_public_key(reinterpret_cast<std::uint8_t*>(point.data()), bytes_of(secret_));
  } else {
    point = p256_point(secret_);
  }
  public_ = make_public_key(type, point, application);
}

std::string TestKey::raw_signature(std::string_view signed_bytes) const {
  if (!is_ed25519(type_)) return ecdsa_p256_sign(secret_, sha256(signed_bytes));
  std::string signature(kEd25519SignatureBytes, '\0');
  ed25519_sha512_sign(bytes_of(public_.point), bytes_of(secret_), signed_bytes.size(),
                      bytes_of(signed_bytes), reinterpret_cast<std::uint8_t*>(signature.data()));
  return signature;
}

std::string TestKey::sign(std::string_view data, std::uint8_t flags, std::uint32_t counter) const {
  const bool security_key = is_security_key(type_);
  WireWriter blob;
  blob.string(type_name(type_));
  blob.string(raw_signature(security_key
                                ? security_key_message(public_.application, flags, counter, data)
                                : std::string(data)));
  if (security_key) {
    blob.byte(flags);
    blob.uint32(counter);
  }
  return std::move(blob).bytes();
}

std::string TestKey::sign_detached(std::string_view name_space, std::string_view message,
                                   HashAlgorithm hash, std::uint8_t flags,
                                   std::uint32_t counter) const {
  DetachedSignature signature{public_, std::string(name_space), hash,
                              sign(signed_data(name_space, hash, message), flags, counter)};
  return write_signature_blob(signature);
}

}  // namespace kelvane::sshsig::testing
