#include "sudo/operation_digest.h"

#include <nettle/sha2.h>

#include <array>
#include <cstdint>
#include <string_view>

namespace kelvane::sudo {
namespace {

void append_netstring(std::string& out, std::string_view bytes) {
  out.append(std::to_string(bytes.size())).append(1, ':').append(bytes).append(1, ',');
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xF];
  }
  return out;
}

}  // namespace

std::string canonical_encoding(const Operation& operation) {
  std::string out;
  append_netstring(out, kEncodingTag);
  append_netstring(out, operation.command);
  append_netstring(out, std::to_string(operation.runas_uid));
  append_netstring(out, std::to_string(operation.runas_gid));
  append_netstring(out, operation.cwd);
  append_netstring(out, std::to_string(operation.argv.size()));
  for (const std::string& arg : operation.argv) append_netstring(out, arg);
  append_netstring(out, std::to_string(operation.env.size()));
  for (const std::string& entry : operation.env) append_netstring(out, entry);
  return out;
}

std::string operation_digest(const Operation& operation) {
  const std::string encoding = canonical_encoding(operation);
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, encoding.size(), reinterpret_cast<const std::uint8_t*>(encoding.data()));
  std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest;
  sha256_digest(&context, digest.size(), digest.data());
  return "sha256:" + hex(digest.data(), digest.size());
}

}  // namespace kelvane::sudo
