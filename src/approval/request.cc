#include "approval/request.h"

#include "json/json.h"
#include "support/memory.h"

namespace kelvane::approval {

FramedRequestLine frame_request_line(const OperatorApprovalRequest& request) {
  // One allocation for the whole frame, however large the detail; a margin
  // for escapes that is never written to costs no memory.
  std::size_t room = 160 + request.title.size() + request.action.size() + request.requester.size() +
                     request.source_host.size() + request.target_host.size() +
                     request.detail.size() + request.detail.size() / 8;
  if (request.operation_digest) room += request.operation_digest->size() + 32;
  FramedRequestLine line;
  line.frame.reserve(room);
  prefer_huge_pages(line.frame.data(), line.frame.capacity());
  json::Serializer serializer(line.frame);
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
  if (request.context) {
    object.serialize_key("context");
    line.context = request.context->text();
  }
  line.split = line.frame.size();
  if (request.timeout_secs) object.serialize_entry("timeoutSecs", *request.timeout_secs);
  object.end();
  line.frame.push_back('\n');
  return line;
}

std::array<std::string_view, 3> FramedRequestLine::pieces() const noexcept {
  const std::string_view whole(frame);
  return {whole.substr(0, split), context, whole.substr(split)};
}

std::string encode_request_line(const OperatorApprovalRequest& request) {
  const FramedRequestLine framed = frame_request_line(request);
  std::string line;
  line.reserve(framed.frame.size() + framed.context.size());
  for (std::string_view piece : framed.pieces()) line.append(piece);
  return line;
}

}  // namespace kelvane::approval
