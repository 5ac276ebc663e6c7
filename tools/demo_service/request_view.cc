#include "demo_service/request_view.h"

#include <string_view>

#include "service/block.h"
#include "service/context_view.h"
#include "support/quoting.h"

namespace kelvane::service {
namespace {

// "4242 "name"", then the executable on a line of its own. The name is the
// process's own choice; the executable is what the kernel ran.
void process_fields(Block& block, std::string_view label, pid_t pid,
                    const std::optional<ProcessInfo>& process) {
  std::string head(kLabelIndent, ' ');
  head.append(label);
  head.append(kValueColumn - head.size(), ' ');
  head += std::to_string(pid);
  if (!process) {
    block.add(head + ", details not available (ended, or not readable)");
    return;
  }
  const std::size_t width = head.size();
  block.add_text(std::move(head), width, process->name, kValueColumn + 2);
  if (!process->executable.empty()) {
    std::string running(kValueColumn, ' ');
    running += "running";
    block.add_text(std::move(running), kValueColumn + 7, process->executable, kValueColumn + 2);
  }
}

void verified_part(Block& block, const Peer& peer) {
  block.add("who asks, as the kernel reports it (verified; a process names itself):");
  if (!peer.known) {
    block.add("  the kernel did not say who connected");
    return;
  }
  plain_field(block, "user", describe_uid(peer));
  if (peer.pid == 0) {
    plain_field(block, "process", "not visible from this service's PID namespace");
    return;
  }
  process_fields(block, "process", peer.pid, peer.process);
  if (peer.process && peer.process->parent > 0) {
    process_fields(block, "its parent", peer.process->parent, peer.parent);
  }
}

void declared_part(Block& block, const Request& request) {
  block.add("who asks, as the request declares it (not verified):");
  text_field(block, "requester", request.requester);
  text_field(block, "source host", request.source_host);
}

void asked_part(Block& block, const Request& request) {
  block.add("what is asked:");
  text_field(block, "title", request.title);
  text_field(block, "action", request.action);
  text_field(block, "target host", request.target_host);
  if (request.operation_digest) text_field(block, "digest", *request.operation_digest);
  if (!request.id.empty()) text_field(block, "id", request.id);
  text_field(block, "detail", request.detail);
  if (request.has_context) {
    block.add("  context");
    add_context(block, request.context, kLabelIndent + 2);
  }
  if (request.timeout_secs) {
    plain_field(block, "time limit",
                std::to_string(*request.timeout_secs) + " s; unanswered by then, it is denied");
  }
}

}  // namespace

std::string describe_uid(const Peer& peer) {
  std::string text = "uid " + std::to_string(peer.uid);
  if (peer.user.empty()) return text;
  // User names come from the name service, which need not be local files.
  const bool plain =
      peer.user.find_first_not_of(
          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") == std::string::npos;
  return text + " (" + (plain ? peer.user : quoted(peer.user)) + ")";
}

std::string describe_request(const Request& request, const Peer& peer, std::uint64_t number) {
  Block block;
  verified_part(block, peer);
  declared_part(block, request);
  asked_part(block, request);
  const std::string name = "approval request " + std::to_string(number);
  std::string shown = "\n";  // appended to, not prepended: g++ 12 warns wrongly on the latter
  shown += fenced(block, name, "end of " + name);
  return shown;
}

}  // namespace kelvane::service
