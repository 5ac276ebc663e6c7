#include "sshsig/base64.h"

#include <nettle/base64.h>

#include <cstdint>

namespace kelvane::sshsig::base64 {

std::string encode(std::string_view bytes) {
  std::string out(BASE64_ENCODE_RAW_LENGTH(bytes.size()), '\0');
  base64_encode_raw(out.data(), bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  return out;
}

Result<std::string, std::string> decode(std::string_view text) {
  // nettle passes over white space; a key or signature written here never
  // holds any, so it is refused rather than read as something else.
  if (text.size() % 4 != 0)
    return fail(std::string("base64 text that is not whole groups of four"));
  if (text.find_first_of(" \t\r\n\v\f") != std::string_view::npos)
    return fail(std::string("white space inside base64 text"));
  base64_decode_ctx context;
  base64_decode_init(&context);
  std::string out(BASE64_DECODE_LENGTH(text.size()), '\0');
  std::size_t length = out.size();
  if (base64_decode_update(&context, &length, reinterpret_cast<std::uint8_t*>(out.data()),
                           text.size(), text.data()) != 1 ||
      base64_decode_final(&context) != 1) {
    return fail(std::string("text that is not base64"));
  }
  out.resize(length);
  return out;
}

}  // namespace kelvane::sshsig::base64
