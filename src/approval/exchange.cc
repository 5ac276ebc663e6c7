#include <unistd.h>

#include "approval/connection.h"
#include "support/out_of_memory.h"
#include "support/whitespace.h"

namespace kelvane::approval {
namespace {

Result<OperatorApprovalDecision, io::Error> exchange(OperatorApprovalRequest request,
                                                     const ServiceAddress& address) {
  KOA_TRY(stream, connect_unix_stream(address.path));
  if (address.on_connected) address.on_connected(stream.get());
  if (address.trusted)
    KOA_TRY_VOID(check_service_peer(stream.get(), address.path, *address.trusted));

  // Built whole before the first byte goes out, so that the service never
  // sees half a request followed by a failure of ours. The context is sent
  // from where it is, not copied into the line.
  const FramedRequestLine request_line = frame_request_line(request);
  auto written = write_all(stream.get(), request_line.pieces());

  ByteBuffer line;
  {
    LineReader reader(stream.get());
    auto read = read_line(reader, line);
    // A service over its caps answers at accept, before it reads, and
    // closes: the write then fails, but its answer is there to read.
    if (!written.ok() && (!read.ok() || line.view().empty()))
      return fail(std::move(written).error());
    KOA_TRY_VOID(std::move(read));
  }
  Result<OperatorApprovalDecision, io::Error> decision = decode_reply(line.view());
  stream.close();
  return decision;
}

Result<OperatorApprovalDecision, io::Error> out_of_memory() {
  return fail(io::Error::bare(io::ErrorKind::OutOfMemory));
}

}  // namespace

Result<OperatorApprovalDecision, io::Error> decode_reply(std::string_view line) {
  Result<OperatorApprovalDecision, json::Error> decoded = decode_decision(trim(line));
  if (!decoded.ok()) return fail(io_error_from_json(decoded.error()));
  return std::move(decoded).value();
}

Result<OperatorApprovalDecision, io::Error> request_decision(OperatorApprovalRequest request,
                                                             const EnvLookup& env) {
  return unless_out_of_memory(
      [&] {
        return request_decision(std::move(request), resolve_service_address(env, ::geteuid()));
      },
      out_of_memory);
}

Result<OperatorApprovalDecision, io::Error> request_decision(OperatorApprovalRequest request,
                                                             const ServiceAddress& address) {
  // A reply without an upper bound on its length can exhaust memory; that is
  // one more way for the service's answer to be unusable, not a crash. The
  // stream's destructor has closed the socket by the time we get here.
  return unless_out_of_memory([&] { return exchange(std::move(request), address); }, out_of_memory);
}

}  // namespace kelvane::approval
