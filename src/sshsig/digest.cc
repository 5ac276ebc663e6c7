#include "sshsig/digest.h"

#include <nettle/sha2.h>

#include <cstdint>

namespace kelvane::sshsig {
namespace {

const std::uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

std::uint8_t* bytes_of(std::string& text) {
  return reinterpret_cast<std::uint8_t*>(text.data());
}

}  // namespace

std::string sha256(std::string_view bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), bytes_of(bytes));
  std::string digest(SHA256_DIGEST_SIZE, '\0');
  sha256_digest(&context, digest.size(), bytes_of(digest));
  return digest;
}

std::string sha512(std::string_view bytes) {
  sha512_ctx context;
  sha512_init(&context);
  sha512_update(&context, bytes.size(), bytes_of(bytes));
  std::string digest(SHA512_DIGEST_SIZE, '\0');
  sha512_digest(&context, digest.size(), bytes_of(digest));
  return digest;
}

}  // namespace kelvane::sshsig
