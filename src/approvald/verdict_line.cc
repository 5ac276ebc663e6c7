#include "verdict_line.h"

#include "json/json.h"

namespace kelvane::approvald {

std::string verdict_line(std::string_view verdict, std::string_view detail,
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

}  // namespace kelvane::approvald
