// SHA-256 in lowercase hex, from nettle: for the operation's digest and for
// the contents of a command file that someone other than root could change.
#pragma once

#include <nettle/sha2.h>

#include <string>
#include <string_view>

namespace kelvane::sudo {

class Sha256 {
 public:
  Sha256() noexcept;
  void update(std::string_view bytes) noexcept;
  // The 64 hex digits of what was given so far. It allocates: a failure
  // reaches the entry point's catch rather than ending sudo.
  std::string hex_digest();

 private:
  sha256_ctx context_;
};

}  // namespace kelvane::sudo
