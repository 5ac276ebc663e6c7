#include "service/answer.h"

#include <sys/random.h>

#include "json/json.h"
#include "support/hex.h"
#include "support/retry.h"

namespace kelvane::service {

Result<std::string, io::Error> random_token() {
  unsigned char bytes[16];
  // Up to 256 bytes come whole once the pool is ready, and it waits for that.
  const ssize_t got = repeat_if_interrupted([&] { return ::getrandom(bytes, sizeof bytes, 0); });
  if (got < 0) return fail(io::Error::last_os_error());
  if (got != static_cast<ssize_t>(sizeof bytes))
    return fail(io::Error::fixed(io::ErrorKind::UnexpectedEof, "too few random bytes"));
  return hex::of_bytes(bytes);
}

std::string decision_line(std::string_view verdict, std::string_view detail,
                          std::string_view request_id, std::string_view token,
                          std::string_view expires_at) {
  std::string out;
  json::Serializer serializer(out);
  json::SerializeMap map = serializer.serialize_map();
  map.serialize_entry("verdict", verdict);
  map.serialize_entry("detail", detail);
  if (!request_id.empty()) map.serialize_entry("requestId", request_id);
  if (!token.empty()) map.serialize_entry("approvalToken", token);
  if (!expires_at.empty()) map.serialize_entry("tokenExpiresAt", expires_at);
  map.end();
  out += '\n';
  return out;
}

}  // namespace kelvane::service
