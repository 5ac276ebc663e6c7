// SHA-256 and SHA-512 (nettle) of a byte string, as raw bytes.
#pragma once

#include <string>
#include <string_view>

namespace kelvane::sshsig {

std::string sha256(std::string_view bytes);
std::string sha512(std::string_view bytes);

}  // namespace kelvane::sshsig
