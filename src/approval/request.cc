#include "approval/request.h"

#include "json/writer.h"
#include "support/memory.h"

namespace kelvane::approval {

std::string encode_request_line(const OperatorApprovalRequest& request) {
  // One allocation for the whole line, however large the detail or the
  // context; a margin for escapes that is never written to costs no memory.
  std::size_t room = 128 + request.title.size() + request.action.size() + request.requester.size() +
                     request.source_host.size() + request.target_host.size() +
                     request.detail.size() + request.detail.size() / 8;
  if (request.operation_digest) room += request.operation_digest->size() + 32;
  if (request.context) room += request.context->text().size() + 16;
  std::string line;
  line.reserve(room);
  prefer_huge_pages(line.data(), line.capacity());
  json::Serializer serializer(line);
  json::SerializeMap object = serializer.serialize_map();
  // The service relies on this order; `id` is always first, even empty.
  object.serialize_entry("id", std::string_view(request.id));
  object.serialize_entry("title", std::string_view(request.title));
  object.serialize_entry("detail", std::string_view(request.detail));
  object.serialize_entry("action", std::string_view(request.action));
  object.serialize_entry("requester", std::string_view(request.requester));
  object.serialize_entry("sourceHost", std::string_view(request.source_host));
  object.serialize_entry("targetHost", std::string_view(request.target_host));
  if (request.operation_digest) {
    object.serialize_entry("operationDigest", std::string_view(*request.operation_digest));
  }
  if (request.context) object.serialize_entry("context", *request.context);
  if (request.timeout_secs) object.serialize_entry("timeoutSecs", *request.timeout_secs);
  object.end();
  line.push_back('\n');
  return line;
}

}  // namespace kelvane::approval
