#include "sshsig/request_digest.h"

#include "sshsig/digest.h"
#include "sshsig/wire.h"

namespace kelvane::sshsig {
namespace {

constexpr std::string_view kMagic = "kelvane-operator-approval-request";
constexpr std::uint32_t kVersion = 1;

// Absent and empty are different requests.
void optional_string(WireWriter& writer, const std::optional<std::string>& value) {
  writer.byte(value ? 1 : 0);
  if (value) writer.string(*value);
}

}  // namespace

std::string recorded_request_bytes(const RecordedRequest& request) {
  WireWriter writer;
  writer.string(kMagic);
  writer.uint32(kVersion);
  writer.string(request.id);
  writer.string(request.host);
  writer.string(request.created_at);
  writer.uint32(request.verified_uid);
  writer.string(request.verified_user);
  writer.byte(request.via_sudo ? 1 : 0);
  writer.string(request.title);
  writer.string(request.detail);
  writer.string(request.action);
  writer.string(request.requester);
  writer.string(request.source_host);
  writer.string(request.target_host);
  optional_string(writer, request.operation_digest);
  optional_string(writer, request.context);
  writer.uint64(request.timeout_secs);
  return std::move(writer).bytes();
}

std::string request_digest(const RecordedRequest& request) {
  return sha256(recorded_request_bytes(request));
}

}  // namespace kelvane::sshsig
