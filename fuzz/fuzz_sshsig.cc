// OpenSSH signatures over any bytes: public keys, signature blobs and their
// armor, security-key and ECDSA signature blobs, allowed-signers files,
// pattern lists and vote messages. Whatever the bytes, each is read or
// refused, never more; what reads writes back to the bytes it came from (or,
// for a signature blob, to one that reads the same), and no forged
// signature verifies.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sshsig/allowed_signers.h"
#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "sshsig/verify.h"
#include "sshsig/vote_message.h"

namespace {

using namespace kelvane::sshsig;

void check_public_key(std::string_view bytes) {
  auto key = read_public_key(bytes);
  if (!key.ok()) return;
  const PublicKey& k = key.value();
  if (make_public_key(k.type, k.point, k.application).blob != bytes) std::abort();
  (void)fingerprint(k);
}

void check_signature_blob(std::string_view bytes) {
  auto signature = read_signature_blob(bytes);
  if (!signature.ok()) return;
  auto again = read_signature_blob(write_signature_blob(signature.value()));
  if (!again.ok() || again.value().key != signature.value().key ||
      again.value().signature != signature.value().signature ||
      again.value().name_space != signature.value().name_space)
    std::abort();
  // Only a signature made by the named key verifies, and the fuzzer holds
  // no key: an Ed25519 or ECDSA forgery here would be a finding.
  if (verify_detached(signature.value(), "m", signature.value().name_space, {false, false}).ok())
    std::abort();
}

void check_armor(std::string_view text) {
  auto blob = dearmor(text);
  if (!blob.ok()) return;
  auto again = dearmor(armor(blob.value()));
  if (!again.ok() || again.value() != blob.value()) std::abort();
}

void check_key_signatures(std::string_view bytes) {
  // The generator of P-256: a point on the curve.
  static const std::string p256_point(
      "\x04\x6b\x17\xd1\xf2\xe1\x2c\x42\x47\xf8\xbc\xe6\xe5\x63\xa4\x40"
      "\xf2\x77\x03\x7d\x81\x2d\xeb\x33\xa0\xf4\xa1\x39\x45\xd8\x98\xc2"
      "\x96\x4f\xe3\x42\xe2\xfe\x1a\x7f\x9b\x8e\xe7\xeb\x4a\x7c\x0f\x9e"
      "\x16\x2b\xce\x33\x57\x6b\x31\x5e\xce\xcb\xb6\x40\x68\x37\xbf\x51"
      "\xf5",
      65);
  static const PublicKey keys[] = {
      make_public_key(KeyType::Ed25519, std::string(32, '\x01')),
      make_public_key(KeyType::SkEd25519, std::string(32, '\x01'), "ssh:"),
      make_public_key(KeyType::EcdsaP256, p256_point),
      make_public_key(KeyType::SkEcdsaP256, p256_point, "ssh:"),
  };
  for (const PublicKey& key : keys)
    if (verify_key_signature(key, bytes, "data").ok()) std::abort();
}

void check_allowed_signers(std::string_view text) {
  auto signers = read_allowed_signers(text);
  if (!signers.ok()) return;
  for (const AllowedSigner& signer : signers.value())
    (void)find_signer(signers.value(), "alice", signer.key, kVoteNamespace, 1'800'000'000);
}

void check_pattern_list(std::string_view text) {
  const std::size_t split = text.find('\n');
  if (split == std::string_view::npos) return;
  (void)pattern_list_matches(text.substr(0, split), text.substr(split + 1));
}

void check_vote_message(std::string_view bytes) {
  auto message = read_vote_message(bytes);
  if (!message.ok()) return;
  auto written = write_vote_message(message.value());
  if (!written.ok() || written.value() != bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_public_key(bytes);
  check_signature_blob(bytes);
  check_armor(bytes);
  check_key_signatures(bytes);
  check_allowed_signers(bytes);
  check_pattern_list(bytes);
  check_vote_message(bytes);
  return 0;
}
