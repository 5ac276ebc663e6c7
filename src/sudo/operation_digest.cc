#include "sudo/operation_digest.h"

#include <string_view>

#include "sudo/sha256.h"

namespace kelvane::sudo {
namespace {

void append_netstring(std::string& out, std::string_view bytes) {
  out.append(std::to_string(bytes.size())).append(1, ':').append(bytes).append(1, ',');
}

void append_list(std::string& out, const std::vector<std::string>& items) {
  append_netstring(out, std::to_string(items.size()));
  for (const std::string& item : items) append_netstring(out, item);
}

}  // namespace

std::string canonical_encoding(const Operation& operation) {
  std::string out;
  append_netstring(out, kEncodingTag);
  append_netstring(out, operation.command);
  append_netstring(out, operation.resolved_command);
  append_netstring(out, std::to_string(operation.links.size()));
  for (const SymbolicLink& link : operation.links) {
    append_netstring(out, link.link);
    append_netstring(out, link.target);
  }
  append_netstring(out, std::to_string(operation.runas_uid));
  append_netstring(out, std::to_string(operation.runas_gid));
  append_netstring(out, operation.cwd);
  append_list(out, operation.argv);
  append_list(out, operation.env);
  append_list(out, operation.settings);
  append_netstring(out, std::to_string(operation.user_uid));
  append_netstring(out, operation.user);
  if (!operation.user_writable) {
    append_netstring(out, "0");
    return out;
  }
  const FileFacts& file = operation.user_writable->file;
  append_netstring(out, "3");
  append_netstring(out, std::to_string(file.owner));
  append_netstring(out, mode_text(file.mode));
  append_netstring(out, file.sha256);
  return out;
}

std::string operation_digest(const Operation& operation) {
  Sha256 sha;
  sha.update(canonical_encoding(operation));
  return "sha256:" + sha.hex_digest();
}

}  // namespace kelvane::sudo
