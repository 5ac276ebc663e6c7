// The demo service's reading and showing of any request line: whatever the
// bytes, it either refuses them with a reason or shows them inside the fence
// without a byte that a terminal would obey.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "demo_service/decision_log.h"
#include "demo_service/request_view.h"
#include "service/request.h"

namespace {

// No control character but the line feed, and no C1 control, reaches the
// screen or the log.
void check_inert(std::string_view shown) {
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const auto byte = static_cast<unsigned char>(shown[i]);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7F) std::abort();
    if (byte == 0xC2 && i + 1 < shown.size()) {
      const auto next = static_cast<unsigned char>(shown[i + 1]);
      if (next >= 0x80 && next <= 0x9F) std::abort();
    }
  }
}

// Between the heading and the footer every line is behind the fence.
void check_fenced(std::string_view shown) {
  std::size_t start = shown.find('\n', 1) + 1;  // after the blank line and the heading
  std::size_t lines = 0;
  while (start < shown.size()) {
    const std::size_t end = shown.find('\n', start);
    const std::string_view line = shown.substr(start, end - start);
    const bool last = end + 1 == shown.size();
    if (last != line.starts_with("+-- end of approval request 1 ")) std::abort();
    if (!last && !line.starts_with("| ")) std::abort();
    start = end + 1;
    ++lines;
  }
  if (lines < 2) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelvane::service;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  auto request = parse_request(line);
  LogEntry entry;
  entry.verdict = "invalid_request";
  entry.how = How::Invalid;
  if (!request.ok()) {
    if (request.error().empty()) std::abort();
    entry.detail = request.error();
    check_inert(log_line(entry));
    return 0;
  }
  Peer peer;
  peer.known = true;
  peer.pid = 1;
  const std::string shown = describe_request(request.value(), peer, 1);
  check_inert(shown);
  check_fenced(shown);
  entry.title = request.value().title;
  entry.target_host = request.value().target_host;
  check_inert(log_line(entry));
  // With everything a request about one operation adds (the peer is root
  // running sudo, so a stated invoking user is taken).
  entry.requester = request.value().requester;
  entry.operation_digest = request.value().operation_digest;
  RequesterFacts sudo;
  sudo.real_uid = 0;
  sudo.executable = "/usr/bin/sudo";
  sudo.invoking_uid = stated_invoking_uid(request.value().context);
  entry.invoking = believed_invoking_user(sudo, request.value().context);
  check_inert(log_line(entry));
  return 0;
}
