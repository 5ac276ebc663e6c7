#include <unistd.h>

#include "approval/connection.h"
#include "support/out_of_memory.h"
#include "support/whitespace.h"

namespace kelvane::approval {
namespace {

Result<OperatorApprovalDecision, io::Error> exchange(OperatorApprovalRequest request,
                                                     const ServiceAddress& address) {
  Result<FileDescriptor, io::Error> connected = connect_unix_stream(address.path);
  if (!connected.ok()) return fail(std::move(connected).error());
  FileDescriptor stream = std::move(connected).value();
  if (address.on_connected) address.on_connected(stream.get());
  if (address.trusted) {
    Result<void, io::Error> trusted =
        check_service_peer(stream.get(), address.path, *address.trusted);
    if (!trusted.ok()) return fail(std::move(trusted).error());
  }

  // Built whole before the first byte goes out, so that the service never
  // sees half a request followed by a failure of ours. The context is sent
  // from where it is, not copied into the line.
  const FramedRequestLine request_line = frame_request_line(request);
  Result<void, io::Error> sent = write_all(stream.get(), request_line.pieces());
  if (!sent.ok()) return fail(std::move(sent).error());

  ByteBuffer line;
  {
    LineReader reader(stream.get());
    Result<std::size_t, io::Error> received = read_line(reader, line);
    if (!received.ok()) return fail(std::move(received).error());
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
